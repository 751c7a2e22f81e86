"""Variable names and CF attributes that vornak reads and writes.

Every name and attribute text of the xarray layer, the CLI and the demo is
defined here and nowhere else, so the files vornak writes stay consistent.
The vocabulary is CfRadial2 / ODIM as xradar uses it.
"""

#: Velocity field dealiased by default (xradar's name for the horizontal
#: channel's radial velocity).
VELOCITY = "VRADH"

#: Fields recognised as radial velocity when no field is named, in order of
#: preference: xradar / ODIM names first, then CfRadial1 and vendor names.
VELOCITY_CANDIDATES = ("VRADH", "VRAD", "VRADV", "velocity", "VEL", "VR", "V", "mean_doppler_velocity",
                       "mean_doppler_velocity_copol")

#: Standard names that mark a variable as radial velocity (xradar appends
#: "_h" / "_v" for the polarisation channel).
VELOCITY_STANDARD_NAME = "radial_velocity_of_scatterers_away_from_instrument"

#: Output variables.
DEALIASED = "VRADDH"
FOLDS = "VRADDH_FOLDS"

#: Sweep variable and field attributes that may carry the Nyquist velocity.
NYQUIST = "nyquist_velocity"
NYQUIST_ATTRS = ("nyquist_velocity", "NI", "nyquist")

#: Coordinates of a sweep dataset.
AZIMUTH = "azimuth"
ELEVATION = "elevation"
RANGE = "range"
TIME = "time"
SWEEP_MODE = "sweep_mode"
FIXED_ANGLE = "sweep_fixed_angle"
SWEEP_GROUP_NAME = "sweep_group_name"

#: sweep_mode values of scans that turn in azimuth (CfRadial vocabulary).
PPI_MODES = ("azimuth_surveillance", "sector", "ppi", "vertical_pointing_rotating")
RHI_MODES = ("rhi", "elevation_surveillance", "manual_rhi")

#: Units written for velocities (CF canonical form of m/s).
VELOCITY_UNITS = "m s-1"

METHOD = "vornak region-based dealiasing"


def dealiased_attrs(source_field, nyquist, comment):
    """CF attributes of the dealiased velocity variable."""
    return {
        "units": VELOCITY_UNITS,
        "long_name": "Dealiased radial velocity of scatterers away from instrument",
        "standard_name": VELOCITY_STANDARD_NAME,
        "source_field": source_field,
        NYQUIST: nyquist,
        "comment": comment,
    }


def folds_attrs(comment):
    """Attributes of the fold-count variable."""
    return {
        "units": "1",
        "long_name": "Nyquist folds added to the radial velocity: "
        f"{DEALIASED} = field + folds * 2 * nyquist_velocity",
        "comment": comment + "; 0 at excluded gates",
    }


def nyquist_attrs():
    """Attributes of a nyquist_velocity variable that vornak adds to a sweep."""
    return {
        "units": VELOCITY_UNITS,
        "long_name": "Unambiguous velocity",
    }

#: Root attributes of an output that say which input and options made it
#: (a rerun skips outputs whose record matches).
SOURCE_FILE = "vornak_source_file"
SOURCE_SIZE = "vornak_source_size"
SOURCE_MTIME = "vornak_source_mtime"
SOURCE_HEAD_SHA256 = "vornak_source_head_sha256"
MADE_BY = "vornak_version"
MADE_WITH = "vornak_options"
