// This installation's identifier: a random UUID made the first time it is asked for
// and kept in the Installation table, so it survives restarts.
#pragma once

#include <string>

// The stored identifier, or a new one stored now; empty text when the table cannot be
// read or the new one cannot be stored (the next call tries again). Callers on different threads get the same identifier: the read and
// the insert happen under one lock of their own.
std::string getOrCreateInstallationId();
