#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "upgrade/upgrade.h"

namespace kq {

// How upgrade shows the run as it goes: what the procedure's callbacks tell, in its order.
class UpgradeProgress {
  public:
    virtual ~UpgradeProgress() = default;
    virtual void Position(int percent) = 0;
    virtual void Phase(UpgradePhase phase) = 0;
    virtual void Attempt(UpgradePhase phase, int attempt, int attempts) = 0;
    virtual void Block(UpgradePhase phase, uint32_t offset) = 0;
    // The run is over: nothing more is drawn.
    virtual void Finish() = 0;
};

// Text: a line for each phase, with its try during the searches. On a terminal the phase's line
// is redrawn in place (a bar while blocks are written), each redraw covering the whole of the
// line before; otherwise a "progress N%" line for each change. The position never goes back: a
// stop leaves the last one shown.
std::unique_ptr<UpgradeProgress> MakeTextProgress(std::ostream& out, bool terminal);

// JSON lines: {"phase":…,"percent":…,"address":…} for each block done (address, the block's
// offset in its image) and for each phase (address null), with "try" and "tries" for each try of
// a search.
std::unique_ptr<UpgradeProgress> MakeJsonProgress(std::ostream& out);

// "waiting-for-loader": the phase's name in JSON.
const char* PhaseJsonName(UpgradePhase phase);

}  // namespace kq
