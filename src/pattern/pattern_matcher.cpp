#include "pattern/pattern_matcher.h"

#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <optional>

#include "pattern/atl_exception.h"
#include "pattern/pattern_text.h"

// The sub-patterns carry both letter cases: unlike the user's pattern they are not lowercased.
const wchar_t* const abbreviationTable[10] = {
    L"a([a-zA-Z0-9])",
    L"b([ \\t])",
    L"c([a-zA-Z])",
    L"d([0-9])",
    L"h([0-9a-fA-F])",
    L"n(\r|(\r?\n))",
    L"q(\"[^\"]*\")|('[^']*')",
    L"w([a-zA-Z]+)",
    L"z([0-9]+)",
    nullptr,
};

namespace {

// Thrown inside the compiler only, to unwind to compile() with the first error.
struct CompileFailure {
    int32_t code;
};

}  // namespace

// A recursive-descent reader over the lowercased copy. Every rule returns the index of the first
// instruction it emitted, nothing (std::nullopt) when no item can be read here, or throws
// CompileFailure. mayBeEmpty tracks whether what was just read can match without consuming text,
// so that a repeated operand that could loop without progress is refused (code 9).
class PatternMatcher::Compiler {
public:
    Compiler(PatternMatcher& matcher, const wchar_t* pattern) : m_(matcher), text_(pattern) {}

    void run()
    {
        emit(OpCall);
        if (peek() == L'^') {
            emit(OpNoMatch);
            ++pos_;
        } else {
            emit(OpNextStart);
        }
        if (peek() != 0) {
            // Parsing stops at the first place no item can be read; whatever follows is ignored.
            bool mayBeEmpty = true;
            sequence(mayBeEmpty);
        }
        m_.program_[0].operand = 2;
        emit(OpSuccess);
    }

private:
    // Everything a rule restores when it takes back what it emitted.
    struct Mark {
        std::size_t pos;
        std::size_t count;
        int32_t groups;
        int32_t registers;
        bool mayBeEmpty;
    };

    wchar_t peek() const { return text_[pos_]; }
    // Only called while peek() is not the terminator, so pos_ + 1 is inside the text.
    wchar_t peekNext() const { return text_[pos_ + 1]; }

    std::size_t count() const { return m_.program_.count(); }

    // Writes the opcode only: an operand left in the cell by removed code stays unless the form
    // gives one (setOperand).
    std::size_t emit(int32_t op)
    {
        std::size_t index = count();
        if (index >= m_.instructionLimit_ || !m_.program_.setCount(index + 1)) throw CompileFailure{PatternErrNoMemory};
        m_.program_[index].op = op;
        return index;
    }

    std::size_t emit(int32_t op, uint64_t operand)
    {
        std::size_t index = emit(op);
        setOperand(index, operand);
        return index;
    }

    void setOperand(std::size_t index, uint64_t operand) { m_.program_[index].operand = operand; }

    uint64_t newRegister() { return static_cast<uint64_t>(m_.registerCount_++); }

    Mark mark(bool mayBeEmpty) const
    {
        return Mark{pos_, count(), m_.groupCount_, m_.registerCount_, mayBeEmpty};
    }

    // Takes back the code and the counters, not the read position.
    void removeSince(const Mark& mark, bool& mayBeEmpty)
    {
        m_.program_.setCount(mark.count);
        m_.groupCount_ = mark.groups;
        m_.registerCount_ = mark.registers;
        mayBeEmpty = mark.mayBeEmpty;
    }

    std::optional<std::size_t> sequence(bool& mayBeEmpty)
    {
        std::optional<std::size_t> first = alternation(mayBeEmpty);
        if (!first) return std::nullopt;
        while (peek() != 0) {
            bool itemMayBeEmpty = true;
            if (!alternation(itemMayBeEmpty)) break;
            mayBeEmpty = mayBeEmpty && itemMayBeEmpty;
        }
        return first;
    }

    // The left item is compiled once only to learn whether `|` follows; it is then compiled again
    // in place, which keeps group and register numbers in reading order.
    std::optional<std::size_t> alternation(bool& mayBeEmpty)
    {
        const Mark start = mark(mayBeEmpty);
        if (!quantifiedItem(mayBeEmpty)) return std::nullopt;
        const bool alternates = peek() == L'|';
        removeSince(start, mayBeEmpty);
        pos_ = start.pos;
        if (!alternates) return quantifiedItem(mayBeEmpty);

        std::size_t s = emit(OpPushPos);
        emit(OpCall, s + 4);
        emit(OpPopPos);
        std::size_t jumpToRight = emit(OpJump);
        quantifiedItem(mayBeEmpty);
        std::size_t jumpOverRight = emit(OpJump);
        ++pos_;  // the `|`
        bool rightMayBeEmpty = true;
        std::optional<std::size_t> right = alternation(rightMayBeEmpty);
        if (!right) {
            // Nothing after the bar: the whole alternation goes, and the enclosing sequence ends.
            removeSince(start, mayBeEmpty);
            return std::nullopt;
        }
        setOperand(jumpToRight, *right);
        setOperand(jumpOverRight, count());
        mayBeEmpty = mayBeEmpty || rightMayBeEmpty;
        return s;
    }

    std::optional<std::size_t> quantifiedItem(bool& mayBeEmpty)
    {
        const Mark start = mark(mayBeEmpty);
        std::optional<std::size_t> first = atom(mayBeEmpty);
        if (!first) return std::nullopt;
        const wchar_t quantifier = peek();
        if (quantifier != L'*' && quantifier != L'+' && quantifier != L'?') return first;
        const bool lazy = peekNext() == L'?';

        if (quantifier == L'+') {
            // The plain copy stays as the mandatory first iteration; the repeated copy reuses its
            // group numbers but gets registers of its own.
            m_.groupCount_ = start.groups;
        } else {
            m_.program_.setCount(start.count);
            m_.groupCount_ = start.groups;
            m_.registerCount_ = start.registers;
        }
        pos_ = start.pos;

        bool operandMayBeEmpty = false;
        const bool refusesEmpty = quantifier != L'?';
        if (lazy) {
            std::size_t s = emit(OpCall);
            repeatedOperand(operandMayBeEmpty, refusesEmpty);
            if (quantifier != L'?') emit(OpJump, s);
            setOperand(s, count());
        } else {
            uint64_t r = newRegister();
            std::size_t s = emit(OpPushRegister, r);
            emit(OpSavePos, r);
            emit(OpPushPos);
            emit(OpCall, s + 7);
            emit(OpPopPos);
            emit(OpPopRegister, r);
            std::size_t jumpAfter = emit(OpJump);
            repeatedOperand(operandMayBeEmpty, refusesEmpty);
            emit(OpFailIfNoProgress, r);
            emit(OpSavePos, r);
            if (quantifier != L'?') emit(OpJump, s);
            setOperand(jumpAfter, count());
        }
        pos_ += lazy ? 2 : 1;
        mayBeEmpty = !(quantifier == L'+' && !lazy);
        // For `+` this is the mandatory first copy, otherwise the form that replaced it.
        return start.count;
    }

    void repeatedOperand(bool& operandMayBeEmpty, bool refusesEmpty)
    {
        atom(operandMayBeEmpty);
        if (refusesEmpty && operandMayBeEmpty) throw CompileFailure{PatternErrEmptyRepeat};
    }

    std::optional<std::size_t> atom(bool& mayBeEmpty)
    {
        const wchar_t c = peek();
        switch (c) {
        case 0:
        case L')':
        case L']':
        case L'}':
            return std::nullopt;
        case L'{':
            return capturingGroup(mayBeEmpty);
        case L'(':
            return group(mayBeEmpty);
        case L'[':
            return characterClass(mayBeEmpty);
        case L'\\':
            return escape(mayBeEmpty);
        case L'!':
            return lookAhead(mayBeEmpty);
        case L'.':
            ++pos_;
            mayBeEmpty = false;
            return emit(OpAnyChar);
        case L'$':
            if (peekNext() == 0) {
                ++pos_;
                mayBeEmpty = false;
                return emit(OpChar, 0);  // matches the text's terminator
            }
            break;
        default:
            break;
        }
        ++pos_;
        mayBeEmpty = false;
        return emit(OpChar, characterCode(c));
    }

    std::optional<std::size_t> capturingGroup(bool& mayBeEmpty)
    {
        ++pos_;
        const uint64_t g = static_cast<uint64_t>(m_.groupCount_++);
        std::size_t s = emit(OpSaveGroup, g);
        emit(OpGroupOpen, g);
        emit(OpCall, s + 5);
        emit(OpRestoreGroup, g);
        emit(OpBacktrack);
        if (!sequence(mayBeEmpty)) emit(OpNop);
        if (peek() != L'}') throw CompileFailure{PatternErrUnclosedCapture};
        ++pos_;
        emit(OpGroupClose, g);
        return s;
    }

    std::optional<std::size_t> group(bool& mayBeEmpty)
    {
        ++pos_;
        std::size_t s = count();
        emit(OpCall, s + 2);
        emit(OpBacktrack);
        if (!sequence(mayBeEmpty)) emit(OpNop);
        if (peek() != L')') throw CompileFailure{PatternErrUnclosedGroup};
        ++pos_;
        return s;
    }

    std::optional<std::size_t> characterClass(bool& mayBeEmpty)
    {
        ++pos_;
        bool negated = false;
        if (peek() == L'^') {
            negated = true;
            ++pos_;
        }
        if (peek() == L']') throw CompileFailure{PatternErrEmptyClass};
        std::size_t s = emit(negated ? OpNotInRanges : OpInRanges);
        while (peek() != L']') {
            wchar_t low = peek();
            if (low == 0) throw CompileFailure{PatternErrUnclosedClass};
            if (low == L'\\') {
                const wchar_t escaped = peekNext();
                if (escaped == 0) throw CompileFailure{PatternErrUnclosedClass};
                low = escaped == L't' ? L'\t' : escaped;
                ++pos_;
            }
            ++pos_;
            wchar_t high = low;
            if (peek() == L'-') {
                high = peekNext();  // taken literally, even a backslash
                if (high == L']' || high == 0) throw CompileFailure{PatternErrUnclosedClass};
                if (characterCode(high) < characterCode(low)) throw CompileFailure{PatternErrReversedRange};
                pos_ += 2;
            }
            emit(OpNop, characterCode(low));
            emit(OpNop, characterCode(high));
        }
        ++pos_;
        setOperand(s, count());
        mayBeEmpty = false;
        return s;
    }

    std::optional<std::size_t> escape(bool& mayBeEmpty)
    {
        const wchar_t c = peekNext();
        // A trailing backslash would otherwise take the terminator as its literal and read on
        // past the end of the pattern.
        if (c == 0) throw CompileFailure{PatternErrBadAbbreviation};
        if (c >= L'0' && c <= L'9') return backReference(mayBeEmpty);
        for (const wchar_t* const* entry = abbreviationTable; *entry != nullptr; ++entry) {
            if ((*entry)[0] == c) return abbreviation(*entry, mayBeEmpty);
        }
        pos_ += 2;
        mayBeEmpty = false;
        return emit(OpChar, characterCode(c));
    }

    std::optional<std::size_t> backReference(bool& mayBeEmpty)
    {
        ++pos_;
        // Saturates, so that a huge number is refused rather than wrapped onto a real group.
        uint32_t number = 0;
        while (peek() >= L'0' && peek() <= L'9') {
            const uint32_t digit = static_cast<uint32_t>(peek() - L'0');
            number = number > (UINT32_MAX - digit) / 10 ? UINT32_MAX : number * 10 + digit;
            ++pos_;
        }
        if (number >= static_cast<uint32_t>(m_.groupCount_)) throw CompileFailure{PatternErrBadGroupNumber};
        mayBeEmpty = false;
        return emit(OpBackReference, number);
    }

    // Reads the stored sub-pattern as one quantified item; anything after that item is ignored.
    std::optional<std::size_t> abbreviation(const wchar_t* entry, bool& mayBeEmpty)
    {
        const wchar_t* const savedText = text_;
        const std::size_t letter = pos_ + 1;
        text_ = entry + 1;
        pos_ = 0;
        std::optional<std::size_t> s;
        try {
            s = quantifiedItem(mayBeEmpty);
        } catch (const CompileFailure&) {
            s.reset();
        }
        text_ = savedText;
        pos_ = letter + 1;
        if (!s) throw CompileFailure{PatternErrBadAbbreviation};
        return s;
    }

    // Registers are taken before the atom is read, so they number before any the atom uses. An
    // atom that yields nothing (`!` at the end) leaves a look-ahead that always fails.
    std::optional<std::size_t> lookAhead(bool& mayBeEmpty)
    {
        ++pos_;
        const uint64_t r = newRegister();
        const uint64_t t = newRegister();
        std::size_t s = emit(OpSavePos, r);
        emit(OpSaveDepth, t);
        emit(OpCall, s + 6);
        emit(OpRestorePos, r);
        emit(OpRestoreDepth, t);
        std::size_t jumpAfter = emit(OpJump);
        atom(mayBeEmpty);
        emit(OpRestorePos, r);
        emit(OpRestoreDepth, t);
        emit(OpBacktrack);
        setOperand(jumpAfter, count());
        return s;
    }

    PatternMatcher& m_;
    const wchar_t* text_;
    std::size_t pos_ = 0;
};

int32_t PatternMatcher::compile(const wchar_t* pattern)
{
    program_.clear();
    lastError_ = PatternOk;
    groupCount_ = 0;
    registerCount_ = 0;
    caseSensitive_ = 0;
    if (pattern == nullptr) throw CAtlException(kHresultInvalidArg);

    std::unique_ptr<wchar_t, decltype(&std::free)> copy(lowercasedCopy(pattern, std::wcslen(pattern)), &std::free);
    if (!copy) return PatternErrNoMemory;

    try {
        Compiler(*this, copy.get()).run();
    } catch (const CompileFailure& failure) {
        lastError_ = failure.code;
    }
    return lastError_;
}
