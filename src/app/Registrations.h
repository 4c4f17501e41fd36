#pragma once

#include "app/Container.h"

namespace ulvarend {

// Every service of the agent, with its scope and collaborators.
void registerServices(Container& container);

// Brings the threads to rest before the process ends: the polling loop ends, every record
// still without an outcome is stored, the HTTP worker stops, the log is written out.
void stopServicesInOrder(Container& container);

// The one container of the process, made with its registrations on first use.
Container& appContainer();

} // namespace ulvarend
