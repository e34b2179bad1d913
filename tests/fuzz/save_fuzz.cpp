// libFuzzer target: any bytes as the text of a save file.
#include "save_roundtrip.h"

QH_FUZZ_TARGET(text) { fuzz_check::abort_on(save_roundtrip::check(text)); }
