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

#: Beginning of the names of ARM's Doppler velocities (one per channel or mode).
ARM_VELOCITY_PREFIX = "mean_doppler_velocity"

#: Standard names that mark a variable as radial velocity (xradar appends
#: "_h" / "_v" for the polarisation channel).
VELOCITY_STANDARD_NAME = "radial_velocity_of_scatterers_away_from_instrument"

#: Variables of a wind profile given as a reference for anchoring.
PROFILE_HEIGHT = "height"
PROFILE_U = "u"
PROFILE_V = "v"

#: Attributes of the dealiased field that say how its sweep was anchored.
ANCHOR = "anchoring"
ANCHOR_SHIFT = "anchor_sweep_shift"
ANCHOR_GATES = "anchor_gates_changed"
#: Gates of small echo areas moved to the fold of the large echo beside them.
ANCHOR_NEARBY = "anchor_nearby_gates_changed"

#: Output variables.
DEALIASED = "VRADDH"
FOLDS = "VRADDH_FOLDS"

#: Attribute of the dealiased field: how many gates held values that cannot
#: be velocities (fill values, missing-value codes) and were excluded.
IMPLAUSIBLE_GATES = "implausible_gates_excluded"

#: Spellings of m/s in the `units` of velocity fields.
#: ("meters per seconds" is xradar's own.)
VELOCITY_UNIT_SPELLINGS = ("m s-1", "m/s", "m s^-1", "m s**-1", "ms-1", "m.s-1", "m*s-1", "m sec-1", "mps",
                           "meters per second", "metres per second", "meters per seconds", "metres per seconds",
                           "meters/second", "metres/second", "meter/second", "metre/second")


def is_velocity_unit(units):
    """True when a `units` attribute says m/s (case, underscores and spacing aside)."""
    text = units.decode(errors="replace") if isinstance(units, bytes) else str(units)
    return " ".join(text.replace("_", " ").lower().split()) in VELOCITY_UNIT_SPELLINGS


#: Attributes of the dealiased field that say what the repairs after the exact
#: fold counts did: where the seam of a full PPI was put, how many speckle
#: gates took another fold, and why the sweep was masked as noise.
SEAM = "seam"
SPECKLE_CHANGED = "speckle_gates_changed"
NOISE = "noise"

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
    """CF attributes of the dealiased velocity variable.

    xradar's own for VRADDH where they are right (its short name), but not
    its long name, which does not say "dealiased", its "_h" standard name,
    which is not in the CF table, nor its "meters per seconds", no udunits unit.
    """
    attrs = {}
    try:
        from xradar.model import get_moment_attrs

        attrs.update(get_moment_attrs(DEALIASED))
    except (ImportError, KeyError):  # the xarray layer works without xradar
        pass
    attrs.update({
        "long_name": "Dealiased radial velocity of scatterers away from instrument",
        "units": VELOCITY_UNITS,
        "standard_name": VELOCITY_STANDARD_NAME,
        "source_field": source_field,
        NYQUIST: nyquist,
        "comment": comment,
    })
    return attrs


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
