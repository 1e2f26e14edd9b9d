#pragma once

// Filled in by the work on the state file: the lock and the durable
// replacement of the number state, one file per system.
