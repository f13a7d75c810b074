#pragma once

#include <QString>

// Process-wide marker that another copy of the program runs. Backed by a lock
// file in the user's runtime folder; a lock whose holder died is taken over.
// The lock is held until the process ends.
namespace SingleInstance {

// Returns true when another live process holds the lock named `name`.
// Otherwise takes the lock for this process and returns false.
bool anotherInstanceRuns(const QString &name);

} // namespace SingleInstance
