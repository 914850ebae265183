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
// outside it.
class MatchMachine {
public:
    MatchMachine(const PatternMatcher& matcher, PatternMatch& context, const wchar_t* text, std::size_t length)
        : program_(matcher.program()),
          programCount_(matcher.programCount()),
          registerCount_(static_cast<uint64_t>(matcher.registerCount())),
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
        const wchar_t* attempt = begin_;
        uint64_t ip = 0;
        for (uint64_t steps = 0;; ++steps) {
            if (steps >= c_.stepBudget_) return false;
            if (ip >= programCount_) throw CAtlException(kHresultInvalidArg);
            if (ip == 0) c_.matchStart_ = pos_;
            const PatternInstruction& instruction = program_[ip];
            const uint64_t operand = instruction.operand;
            bool failed = false;
            switch (instruction.op) {
            case OpNop:
                ++ip;
                break;
            case OpGroupOpen:
                group(operand).start = pos_;
                ++ip;
                break;
            case OpGroupClose:
                group(operand).end = pos_;
                ++ip;
                break;
            case OpChar:
                // With operand 0 this consumes the terminator: a final `$`.
                if (characterCode(at(pos_)) == operand) {
                    ++pos_;
                    ++ip;
                } else {
                    failed = true;
                }
                break;
            case OpAnyChar:
                if (at(pos_) != 0) {
                    ++pos_;
                    ++ip;
                } else {
                    failed = true;
                }
                break;
            case OpInRanges:
            case OpNotInRanges: {
                const wchar_t ch = at(pos_);
                const bool inside = ch != 0 && inRanges(ip, operand, characterCode(ch));
                if (ch != 0 && inside == (instruction.op == OpInRanges)) {
                    ++pos_;
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
                if (!push(valueOf(pos_))) return false;
                ++ip;
                break;
            case OpPopPos:
                pos_ = position(pop());
                ++ip;
                break;
            case OpCall:
                if (!push(ip + 1)) return false;
                ip = operand;
                break;
            case OpBacktrack:
                failed = true;
                break;
            case OpPushRegister:
                if (!push(reg(operand))) return false;
                ++ip;
                break;
            case OpPopRegister:
                reg(operand) = pop();
                ++ip;
                break;
            case OpSavePos:
                reg(operand) = valueOf(pos_);
                ++ip;
                break;
            case OpSaveDepth:
                reg(operand) = c_.stackTop_;
                ++ip;
                break;
            case OpRestorePos:
                pos_ = position(reg(operand));
                ++ip;
                break;
            case OpRestoreDepth: {
                const uint64_t depth = reg(operand);
                if (depth != 0 && depth >= c_.stack_.count()) throw CAtlException(kHresultInvalidArg);
                c_.stackTop_ = depth;
                ++ip;
                break;
            }
            case OpFailIfNoProgress:
                if (reg(operand) == valueOf(pos_)) {
                    failed = true;
                } else {
                    ++ip;
                }
                break;
            case OpBackReference:
                if (backReference(group(operand))) {
                    ++ip;
                } else {
                    failed = true;
                }
                break;
            case OpNoMatch:
                return false;
            case OpNextStart: {
                // An empty text has no character after its start: look at the start first so the
                // terminator is the last thing read.
                if (*attempt == 0) {
                    pos_ = attempt + 1;
                    return false;
                }
                const wchar_t* following = attempt + 1;
                if (*following == 0) {
                    pos_ = following;
                    return false;
                }
                attempt = following;
                pos_ = following;
                c_.stackTop_ = 0;
                ip = 0;
                break;
            }
            case OpSuccess:
                return true;
            case OpSaveGroup: {
                GroupSpan& span = group(operand);
                if (!push(valueOf(span.start)) || !push(valueOf(span.end))) return false;
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
            if (failed) ip = pop();
        }
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

    GroupSpan& group(uint64_t g)
    {
        if (g >= c_.groupCount_) throw CAtlException(kHresultInvalidArg);
        return c_.groups_[static_cast<std::size_t>(g)];
    }

    uint64_t& reg(uint64_t r)
    {
        if (r >= registerCount_) throw CAtlException(kHresultInvalidArg);
        return c_.registers_[static_cast<std::size_t>(r)];
    }

    bool inRanges(uint64_t ip, uint64_t end, uint64_t ch) const
    {
        for (uint64_t k = ip + 1; k < end; k += 2) {
            if (k + 1 >= programCount_) throw CAtlException(kHresultInvalidArg);
            if (program_[k].operand <= ch && ch <= program_[k + 1].operand) return true;
        }
        return false;
    }

    // False when the stack cannot grow: the search ends with no match.
    bool push(uint64_t value)
    {
        const uint64_t top = c_.stackTop_ + 1;
        if (top >= c_.stack_.count()) {
            if (top >= c_.stackCellLimit_) return false;
            const std::size_t cells = top < SIZE_MAX / 2 - 1 ? static_cast<std::size_t>(2 * top + 2) : SIZE_MAX;
            if (!c_.stack_.setCount(std::min(cells, c_.stackCellLimit_))) return false;
        }
        c_.stack_[static_cast<std::size_t>(top)] = value;
        c_.stackTop_ = top;
        return true;
    }

    uint64_t pop()
    {
        if (c_.stackTop_ == 0) return 0;
        if (c_.stackTop_ >= c_.stack_.count()) throw CAtlException(kHresultInvalidArg);
        return c_.stack_[static_cast<std::size_t>(c_.stackTop_--)];
    }

    // A group that is still open (no end yet, or an end left from an earlier pass that lies before
    // its new start) has no defined text: the reference fails rather than measure a bogus length.
    bool backReference(const GroupSpan& span)
    {
        if (span.start == nullptr && span.end == nullptr) return true;
        if (span.start == nullptr || span.end == nullptr || span.end < span.start) return false;
        if (pos_ > end_) throw CAtlException(kHresultInvalidArg);
        const std::size_t n = static_cast<std::size_t>(span.end - span.start);
        if (n > static_cast<std::size_t>(end_ - pos_)) return false;
        for (std::size_t i = 0; i < n; ++i) {
            const wchar_t a = pos_[i];
            const wchar_t b = span.start[i];
            if (a == 0 || b == 0) return false;
            if (caseSensitive_ ? a != b : foldCase(a) != foldCase(b)) return false;
        }
        pos_ += n;
        return true;
    }

    const PatternInstruction* program_;
    uint64_t programCount_;
    uint64_t registerCount_;
    bool caseSensitive_;
    PatternMatch& c_;
    const wchar_t* begin_;
    const wchar_t* end_;  // the terminator
    const wchar_t* pos_;
};

bool PatternMatcher::match(const wchar_t* text, PatternMatch* context, const wchar_t** next) const
{
    if (injectedFault != 0) {
        const int32_t code = injectedFault;
        injectedFault = 0;
        throw CAtlException(code);
    }
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

    PatternMatch& c = *context;
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
