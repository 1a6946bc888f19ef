// The phonebook CSV named by the configuration, loaded into the call log at start and on
// each reload request.
#pragma once

#include "config/config.h"
#include "store/call_store.h"

namespace kalvix3d {

// Rows are added or replaced; a broken row is logged with its line number and skipped, the
// good rows are kept. Nothing happens without a configured CSV.
void loadPhonebookFile(const Config &config, CallStore &store);

} // namespace kalvix3d
