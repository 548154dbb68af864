#pragma once
// Where the status window reads the running state from. The one place that knows which objects
// of the application hold each input.
#include "app/Application.h"
#include "app/Status.h"

namespace kov {

// Every input read afresh from the running objects; what start-up has not created yet reads as
// idle.
StatusInputs ReadStatusInputs(const Application& app);

}  // namespace kov
