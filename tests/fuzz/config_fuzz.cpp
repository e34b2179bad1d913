// libFuzzer target: any bytes as the settings file.
#include "config_invariants.h"

QH_FUZZ_TARGET(text) { fuzz_check::abort_on(config_invariants::check_round_trip(text)); }
