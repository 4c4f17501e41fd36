#pragma once

#include "app/Container.h"

namespace ulvarend {

// Every service of the agent, with its scope and collaborators.
void registerServices(Container& container);

// The one container of the process, made with its registrations on first use.
Container& appContainer();

} // namespace ulvarend
