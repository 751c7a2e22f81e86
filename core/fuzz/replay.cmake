# The fuzz targets linked with a plain main that replays the committed corpus
# once, so that any compiler's test run (ctest) goes over every input the
# fuzzers kept. Included from the core's test directory, where the
# straightforward core is built.
set(VORNAK_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
foreach(target sweep_fuzz network_fuzz)
  add_executable(${target}_replay ${VORNAK_FUZZ_DIR}/${target}.cpp ${VORNAK_FUZZ_DIR}/replay_main.cpp)
  target_link_libraries(${target}_replay PRIVATE vornak_straightforward vornak_warnings)
  add_test(NAME ${target}_corpus COMMAND ${target}_replay ${VORNAK_FUZZ_DIR}/corpus/${target})
endforeach()
