// libFuzzer target: any topic of a table and any bytes as a message on it.
#include "table_message_invariants.h"

QH_FUZZ_TARGET(text) { fuzz_check::abort_on(table_message_invariants::check(text)); }
