#include "pattern/pattern_match.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <memory>

#include "pattern/atl_exception.h"
#include "pattern/pattern_text.h"

namespace {

thread_local int32_t injectedFault = 0;

}  // namespace

void raiseInNextMatchForTesting(int32_t hresult) { injectedFault = hresult; }

namespace {

void raiseInjectedFault()
{
    if (injectedFault == 0) return;
    const int32_t code = injectedFault;
    injectedFault = 0;
    throw CAtlException(code);
}

}  // namespace

PatternMatch::PatternMatch(std::size_t initialStackCells, std::size_t stackCellLimit) : stackCellLimit_(stackCellLimit)
{
    // Without memory the stack just starts empty; the first push tries again.
    stack_.setCount(std::min(initialStackCells, stackCellLimit));
}

const GroupSpan& PatternMatch::group(uint32_t g) const
{
    if (g >= groupCount_) throw CAtlException(kHresultInvalidArg);
    return groups_[g];
}

// The backtracking machine. Every choice point is a cell on the context's one stack (no recursion),
// and a failure resumes at the instruction index popped from it. Positions live in the 64-bit
// cells and registers as addresses into the working text; whatever comes back from a cell is
// checked against the text before it is used, so a damaged program raises instead of reading
// outside it. The hot state (position, stack top, array pointers) is kept in locals while the
// machine runs and written back to the context when it stops.
class MatchMachine {
public:
    MatchMachine(const PatternMatcher& matcher, PatternMatch& context, const wchar_t* text, std::size_t length)
        : program_(matcher.program()),
          programCount_(matcher.programCount()),
          caseSensitive_(matcher.caseSensitive()),
          c_(context),
          begin_(text),
          end_(text + length),
          pos_(text)
    {
    }

    // True when the program reached OpSuccess; pos() is where the machine stopped.
    bool run()
    {
        const PatternInstruction* const program = program_;
        const uint64_t programCount = programCount_;
        const uint64_t textUnits = static_cast<uint64_t>(end_ - begin_);
        const uint64_t budget = c_.stepBudget_ > UINT64_MAX - kMatchStepsPerTextUnit * textUnits
                                    ? UINT64_MAX
                                    : c_.stepBudget_ + kMatchStepsPerTextUnit * textUnits;
        const uint64_t groupCount = c_.groupCount_;
        GroupSpan* const groups = c_.groups_.data();
        const uint64_t registerCount = c_.registers_.count();
        uint64_t* const registers = c_.registers_.data();
        uint64_t* cells = c_.stack_.data();
        uint64_t cellCount = c_.stack_.count();
        uint64_t top = 0;
        const wchar_t* pos = begin_;
        const wchar_t* attempt = begin_;
        const wchar_t* matchStart = begin_;
        uint64_t ip = 0;
        bool matched = false;

        // Stack operations. A push that needs more cells than memory or the context's limit allows
        // ends the search with no match.
        auto push = [&](uint64_t value) -> bool {
            if (top + 1 >= cellCount) {
                if (!grow(top + 1)) return false;
                cells = c_.stack_.data();
                cellCount = c_.stack_.count();
            }
            cells[++top] = value;
            return true;
        };
        auto pop = [&]() -> uint64_t {
            if (top == 0) return 0;
            if (top >= cellCount) throw CAtlException(kHresultInvalidArg);
            return cells[top--];
        };
        auto group = [&](uint64_t g) -> GroupSpan& {
            if (g >= groupCount) throw CAtlException(kHresultInvalidArg);
            return groups[g];
        };
        auto reg = [&](uint64_t r) -> uint64_t& {
            if (r >= registerCount) throw CAtlException(kHresultInvalidArg);
            return registers[r];
        };

        for (uint64_t steps = 0;; ++steps) {
            if (steps >= budget) break;
            if (ip >= programCount) throw CAtlException(kHresultInvalidArg);
            if (ip == 0) matchStart = pos;
            const PatternInstruction& instruction = program[ip];
            const uint64_t operand = instruction.operand;
            bool failed = false;
            bool stop = false;
            switch (instruction.op) {
            case OpNop:
                ++ip;
                break;
            case OpGroupOpen:
                group(operand).start = pos;
                ++ip;
                break;
            case OpGroupClose:
                group(operand).end = pos;
                ++ip;
                break;
            case OpChar:
                // With operand 0 this consumes the terminator: a final `$`.
                if (characterCode(at(pos)) == operand) {
                    ++pos;
                    ++ip;
                } else {
                    failed = true;
                }
                break;
            case OpAnyChar:
                if (at(pos) != 0) {
                    ++pos;
                    ++ip;
                } else {
                    failed = true;
                }
                break;
            case OpInRanges:
            case OpNotInRanges: {
                const wchar_t ch = at(pos);
                if (ch != 0 && inRanges(ip, operand, characterCode(ch)) == (instruction.op == OpInRanges)) {
                    ++pos;
                    ip = operand;
                } else {
                    failed = true;
                }
                break;
            }
            case OpJump:
                ip = operand;
                break;
            case OpPushPos:
                stop = !push(valueOf(pos));
                ++ip;
                break;
            case OpPopPos:
                pos = position(pop());
                ++ip;
                break;
            case OpCall:
                stop = !push(ip + 1);
                ip = operand;
                break;
            case OpBacktrack:
                failed = true;
                break;
            case OpPushRegister:
                stop = !push(reg(operand));
                ++ip;
                break;
            case OpPopRegister:
                reg(operand) = pop();
                ++ip;
                break;
            case OpSavePos:
                reg(operand) = valueOf(pos);
                ++ip;
                break;
            case OpSaveDepth:
                reg(operand) = top;
                ++ip;
                break;
            case OpRestorePos:
                pos = position(reg(operand));
                ++ip;
                break;
            case OpRestoreDepth: {
                const uint64_t depth = reg(operand);
                if (depth != 0 && depth >= cellCount) throw CAtlException(kHresultInvalidArg);
                top = depth;
                ++ip;
                break;
            }
            case OpFailIfNoProgress:
                if (reg(operand) == valueOf(pos)) {
                    failed = true;
                } else {
                    ++ip;
                }
                break;
            case OpBackReference:
                if (backReference(group(operand), pos)) {
                    ++ip;
                } else {
                    failed = true;
                }
                break;
            case OpNoMatch:
                stop = true;
                break;
            case OpNextStart: {
                // An empty text has no character after its start: look at the start first so the
                // terminator is the last thing read.
                if (*attempt == 0) {
                    pos = attempt + 1;
                    stop = true;
                    break;
                }
                const wchar_t* following = attempt + 1;
                if (*following == 0) {
                    pos = following;
                    stop = true;
                    break;
                }
                attempt = following;
                pos = following;
                top = 0;
                ip = 0;
                break;
            }
            case OpSuccess:
                matched = true;
                stop = true;
                break;
            case OpSaveGroup: {
                const GroupSpan& span = group(operand);
                stop = !push(valueOf(span.start)) || !push(valueOf(span.end));
                ++ip;
                break;
            }
            case OpRestoreGroup: {
                GroupSpan& span = group(operand);
                span.end = boundOrNull(pop());
                span.start = boundOrNull(pop());
                ++ip;
                break;
            }
            default:
                throw CAtlException(kHresultInvalidArg);
            }
            if (stop) break;
            if (failed) ip = pop();
        }
        c_.stackTop_ = top;
        c_.matchStart_ = matchStart;
        pos_ = pos;
        return matched;
    }

    const wchar_t* pos() const { return pos_; }

private:
    wchar_t at(const wchar_t* p) const
    {
        if (p > end_) throw CAtlException(kHresultInvalidArg);
        return *p;
    }

    static uint64_t valueOf(const wchar_t* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

    // A position may lie one past the terminator (after a final `$` consumed it), never further.
    const wchar_t* position(uint64_t value) const
    {
        if (value < valueOf(begin_) || value > valueOf(end_ + 1)) throw CAtlException(kHresultInvalidArg);
        return reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(value));
    }

    const wchar_t* boundOrNull(uint64_t value) const { return value == 0 ? nullptr : position(value); }

    bool inRanges(uint64_t ip, uint64_t end, uint64_t ch) const
    {
        for (uint64_t k = ip + 1; k < end; k += 2) {
            if (k + 1 >= programCount_) throw CAtlException(kHresultInvalidArg);
            if (program_[k].operand <= ch && ch <= program_[k + 1].operand) return true;
        }
        return false;
    }

    // Grows the stack so that cell index top exists: to 2 x top + 2 cells, within the limit.
    bool grow(uint64_t top)
    {
        if (top >= c_.stackCellLimit_) return false;
        const std::size_t cells = top < SIZE_MAX / 2 - 1 ? static_cast<std::size_t>(2 * top + 2) : SIZE_MAX;
        return c_.stack_.setCount(std::min(cells, c_.stackCellLimit_));
    }

    // A group that is still open (no end yet, or an end left from an earlier pass that lies before
    // its new start) has no defined text: the reference fails rather than measure a bogus length.
    bool backReference(const GroupSpan& span, const wchar_t*& pos) const
    {
        if (span.start == nullptr && span.end == nullptr) return true;
        if (span.start == nullptr || span.end == nullptr || span.end < span.start) return false;
        if (pos > end_) throw CAtlException(kHresultInvalidArg);
        const std::size_t n = static_cast<std::size_t>(span.end - span.start);
        if (n > static_cast<std::size_t>(end_ - pos)) return false;
        for (std::size_t i = 0; i < n; ++i) {
            const wchar_t a = pos[i];
            const wchar_t b = span.start[i];
            if (a == 0 || b == 0) return false;
            if (caseSensitive_ ? a != b : foldCase(a) != foldCase(b)) return false;
        }
        pos += n;
        return true;
    }

    const PatternInstruction* program_;
    uint64_t programCount_;
    bool caseSensitive_;
    PatternMatch& c_;
    const wchar_t* begin_;
    const wchar_t* end_;  // the terminator
    const wchar_t* pos_;
};

bool PatternMatcher::match(const wchar_t* text, PatternMatch* context, const wchar_t** next) const
{
    raiseInjectedFault();
    if (context == nullptr) return false;
    if (next != nullptr) *next = nullptr;
    if (text == nullptr) throw CAtlException(kHresultInvalidArg);

    const std::size_t length = std::wcslen(text);
    std::unique_ptr<wchar_t, decltype(&std::free)> copy(nullptr, &std::free);
    const wchar_t* work = text;
    if (!caseSensitive()) {
        copy.reset(lowercasedCopy(text, length));
        if (!copy) return false;
        work = copy.get();
    }
    return runOn(text, work, length, *context, next);
}

bool PatternMatcher::matchFolded(const wchar_t* text, std::size_t length, PatternMatch* context,
                                 const wchar_t** next) const
{
    raiseInjectedFault();
    if (context == nullptr) return false;
    if (next != nullptr) *next = nullptr;
    if (text == nullptr || text[length] != 0) throw CAtlException(kHresultInvalidArg);
    return runOn(text, text, length, *context, next);
}

bool PatternMatcher::runOn(const wchar_t* text, const wchar_t* work, std::size_t length, PatternMatch& c,
                           const wchar_t** next) const
{
    c.stackTop_ = 0;
    c.matchStart_ = nullptr;
    c.matchEnd_ = nullptr;
    c.groups_.clear();
    c.registers_.clear();
    c.groupCount_ = 0;
    if (!c.groups_.setCount(static_cast<std::size_t>(groupCount_)) ||
        !c.registers_.setCount(static_cast<std::size_t>(registerCount_))) {
        return false;
    }
    c.groupCount_ = static_cast<uint32_t>(groupCount_);

    MatchMachine machine(*this, c, work, length);
    bool matched = false;
    try {
        matched = machine.run();
    } catch (...) {
        // Leave nothing behind that points into the copy about to be freed.
        c.matchStart_ = nullptr;
        c.groupCount_ = 0;
        throw;
    }

    // Every position handed back points into the caller's text at the same offset, also a bound
    // of a group left half set.
    auto onText = [&](const wchar_t* p) -> const wchar_t* { return p == nullptr ? nullptr : text + (p - work); };
    c.matchStart_ = onText(c.matchStart_);
    c.matchEnd_ = onText(machine.pos());
    for (uint32_t g = 0; g < c.groupCount_; ++g) {
        c.groups_[g].start = onText(c.groups_[g].start);
        c.groups_[g].end = onText(c.groups_[g].end);
    }
    if (next != nullptr) *next = onText(machine.pos());
    return matched;
}
