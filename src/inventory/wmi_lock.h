// One WMI read at a time in this process. Wine's WMI provider keeps its result tables process-wide
// without a lock, and two reads at once corrupt its heap; on Windows the reads would only compete
// for the same service. Host threads that send device-information reports at once take turns here.
//
// A turn is shared: a read that hands its WMI calls to a helper thread gives the helper a copy, and
// the turn ends only when the last holder lets go. A host thread that stops waiting for a stuck
// helper so never lets the next read start while the helper still uses WMI.
#pragma once

#include <memory>

using WmiTurn = std::shared_ptr<void>;

// Blocks until no read holds a turn, then returns this one's.
WmiTurn takeWmiTurn();
