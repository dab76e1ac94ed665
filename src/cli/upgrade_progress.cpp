#include "cli/upgrade_progress.h"

#include <optional>
#include <ostream>
#include <string>

#include "cli/ctl_text.h"
#include "cli/json.h"

namespace kq {
namespace {

std::string PhaseText(UpgradePhase phase) {
    switch (phase) {
        case UpgradePhase::Loader:
            return Say(CtlText::PhaseLoader);
        case UpgradePhase::WaitingForLoader:
            return Say(CtlText::PhaseWaitingForLoader);
        case UpgradePhase::Firmware:
            return Say(CtlText::PhaseFirmware);
        case UpgradePhase::Finishing:
            return Say(CtlText::PhaseFinishing);
        case UpgradePhase::Checking:
            return Say(CtlText::PhaseChecking);
    }
    return "";
}
std::string TryLine(UpgradePhase phase, int attempt, int attempts) {
    return Say(CtlText::PhaseTry,
               {PhaseText(phase), std::to_string(attempt), std::to_string(attempts)});
}
std::string PositionLine(int percent) {
    return Say(CtlText::Progress, {std::to_string(percent)});
}

bool WritesBlocks(UpgradePhase phase) {
    return phase == UpgradePhase::Loader || phase == UpgradePhase::Firmware;
}

bool Searches(UpgradePhase phase) {
    return phase == UpgradePhase::WaitingForLoader || phase == UpgradePhase::Checking;
}

class TextProgress final : public UpgradeProgress {
  public:
    TextProgress(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

    void Position(int percent) override {
        if (percent <= position_) return;
        position_ = percent;
        if (!terminal_) {
            out_ << PositionLine(percent) << '\n' << std::flush;
        } else if (phase_ && WritesBlocks(*phase_)) {
            Draw(PhaseText(*phase_) + Bar());
        }
    }

    void Phase(UpgradePhase phase) override {
        EndLine();
        phase_ = phase;
        // A search says its phase with each try.
        if (Searches(phase)) return;
        if (terminal_) {
            Draw(PhaseText(phase) + (WritesBlocks(phase) ? Bar() : std::string()));
        } else {
            out_ << PhaseText(phase) << '\n' << std::flush;
        }
    }

    void Attempt(UpgradePhase phase, int attempt, int attempts) override {
        const std::string line = TryLine(phase, attempt, attempts);
        if (terminal_) {
            Draw(line);
        } else {
            out_ << line << '\n' << std::flush;
        }
    }

    void Block(UpgradePhase, uint32_t) override {}

    void Finish() override { EndLine(); }

  private:
    std::string Bar() const {
        constexpr int kWidth = 40;
        const int shown = position_ < 0 ? 0 : position_;
        const int filled = shown * kWidth / 100;
        return "  [" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
               std::to_string(shown) + "%";
    }

    // The line again from its start; spaces cover what a longer line before left.
    void Draw(const std::string& line) {
        std::string text = "\r" + line;
        if (line.size() < drawn_) text += std::string(drawn_ - line.size(), ' ');
        out_ << text << std::flush;
        drawn_ = line.size();
    }

    void EndLine() {
        if (terminal_ && drawn_ > 0) out_ << '\n' << std::flush;
        drawn_ = 0;
    }

    std::ostream& out_;
    bool terminal_;
    std::optional<UpgradePhase> phase_;
    int position_ = -1;
    size_t drawn_ = 0;  // the length of the line on the terminal, 0 when none is open
};

class JsonProgress final : public UpgradeProgress {
  public:
    explicit JsonProgress(std::ostream& out) : out_(out) {}

    void Position(int percent) override {
        if (percent < position_) return;
        position_ = percent;
        if (!block_) return;
        Line(Object().Number("address", *block_));
        block_.reset();
    }

    void Phase(UpgradePhase phase) override {
        phase_ = phase;
        Line(Object().Raw("address", "null"));
    }

    void Attempt(UpgradePhase phase, int attempt, int attempts) override {
        phase_ = phase;
        Line(Object().Raw("address", "null").Number("try", attempt).Number("tries", attempts));
    }

    void Block(UpgradePhase phase, uint32_t offset) override {
        phase_ = phase;
        block_ = offset;
    }

    void Finish() override {}

  private:
    JsonObject Object() const {
        JsonObject object;
        if (phase_) {
            object.String("phase", PhaseJsonName(*phase_));
        } else {
            object.Raw("phase", "null");
        }
        object.Number("percent", position_);
        return object;
    }
    void Line(const JsonObject& object) { out_ << object.str() << '\n' << std::flush; }

    std::ostream& out_;
    std::optional<UpgradePhase> phase_;
    std::optional<uint32_t> block_;
    int position_ = 0;
};

}  // namespace

const char* PhaseJsonName(UpgradePhase phase) {
    switch (phase) {
        case UpgradePhase::Loader:
            return "loader";
        case UpgradePhase::WaitingForLoader:
            return "waiting-for-loader";
        case UpgradePhase::Firmware:
            return "firmware";
        case UpgradePhase::Finishing:
            return "finishing";
        case UpgradePhase::Checking:
            return "checking";
    }
    return "";
}

std::unique_ptr<UpgradeProgress> MakeTextProgress(std::ostream& out, bool terminal) {
    return std::make_unique<TextProgress>(out, terminal);
}

std::unique_ptr<UpgradeProgress> MakeJsonProgress(std::ostream& out) {
    return std::make_unique<JsonProgress>(out);
}

}  // namespace kq
