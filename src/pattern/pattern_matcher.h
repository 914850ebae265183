// A compiled search pattern: the pattern language the HTTP layer uses to pick values out of
// response headers, compiled to a flat program for the backtracking machine in pattern_match.cpp.
//
// The language is not a common dialect: `{...}` captures and `(...)` does not; `|` binds tighter
// than concatenation (`ab|cd` is a, b-or-c, d); `\` plus a letter of abbreviationTable stands for a
// stored sub-pattern, `\` plus digits is a back-reference, `\` plus anything else is that character;
// `!` is a negative look-ahead over one atom; `^` is special only as the first character and `$`
// only as the last. Pattern and text are both lowercased, so matching ignores the case of A to Z.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/growable_array.h"

class PatternMatch;

// Opcodes as stored in PatternInstruction::op; 5, 6, 9 to 12, 18 and 19 are not used.
enum PatternOpcode : int32_t {
    OpNop = 0,
    OpGroupOpen = 1,
    OpGroupClose = 2,
    OpChar = 3,
    OpAnyChar = 4,
    OpInRanges = 7,
    OpNotInRanges = 8,
    OpJump = 13,
    OpPushPos = 14,
    OpPopPos = 15,
    OpCall = 16,
    OpBacktrack = 17,
    OpPushRegister = 20,
    OpPopRegister = 21,
    OpSavePos = 22,
    OpSaveDepth = 23,
    OpRestorePos = 24,
    OpRestoreDepth = 25,
    OpFailIfNoProgress = 26,
    OpBackReference = 27,
    OpNoMatch = 28,
    OpNextStart = 29,
    OpSuccess = 30,
    OpSaveGroup = 31,
    OpRestoreGroup = 32,
};

// The operand is a character code, group number, register number or instruction index, by opcode;
// opcodes that take none ignore it (and may carry a value left over from code the compiler removed).
struct PatternInstruction {
    int32_t op;
    uint64_t operand;
};
static_assert(sizeof(PatternInstruction) == 16, "instructions are 16-byte cells");

enum PatternError : int32_t {
    PatternOk = 0,
    PatternErrNoMemory = 1,
    PatternErrUnclosedCapture = 2,
    PatternErrUnclosedGroup = 3,
    // Also a class cut short by a trailing backslash: `[a\`.
    PatternErrUnclosedClass = 4,
    // Also a pattern that ends in a backslash outside a class: `a\`.
    PatternErrBadAbbreviation = 5,
    PatternErrEmptyClass = 6,
    PatternErrBadGroupNumber = 7,
    PatternErrReversedRange = 8,
    PatternErrEmptyRepeat = 9,
};

// Null-terminated; the first character of an entry is its letter, the rest the sub-pattern that
// `\letter` stands for. Searched in this order.
extern const wchar_t* const abbreviationTable[10];

// A match call that runs this many instructions ends with no match. Some patterns never end as
// compiled (lazy loops over operands that consume nothing, nested quantifiers that backtrack
// exponentially); the header searches need a few thousand steps at most.
constexpr uint64_t kDefaultMatchStepBudget = 4000000;
// On top of the fixed budget, every unit of the searched text allows this many instructions: an
// unanchored search spends a handful on each start position, and a 1 MiB answer searched for
// "</html>" must still be searched to its end.
constexpr uint64_t kMatchStepsPerTextUnit = 64;

constexpr std::size_t kUnlimitedInstructions = SIZE_MAX;

class PatternMatcher {
public:
    // instructionLimit caps the program the way memory does: a pattern that needs more fails to
    // compile with PatternErrNoMemory.
    explicit PatternMatcher(std::size_t instructionLimit = kUnlimitedInstructions) : instructionLimit_(instructionLimit) {}
    PatternMatcher(const PatternMatcher&) = delete;
    PatternMatcher& operator=(const PatternMatcher&) = delete;

    // Compiles a NUL-terminated pattern, discarding the previous program; returns a PatternError
    // (also kept in lastError). After a failure the partial program must not be matched. Raises
    // CAtlException(kHresultInvalidArg) for a null pattern.
    int32_t compile(const wchar_t* pattern);

    // Finds the first match in the NUL-terminated text: the leftmost start at which the program
    // succeeds. Fills context (false at once without one); next, when given, receives the position
    // just after the match. Every position handed back points into text. Raises CAtlException on an
    // internal fault (a null text, or a program that indexes outside its arrays).
    bool match(const wchar_t* text, PatternMatch* context, const wchar_t** next = nullptr) const;
    // The same search on a text the caller has already put through foldCase (when the pattern
    // ignores case) and whose length it knows: text[length] must be the terminator. A caller that
    // searches one text again and again from later positions folds it once instead of once per
    // call, which keeps a search for every match linear in the text.
    bool matchFolded(const wchar_t* text, std::size_t length, PatternMatch* context,
                     const wchar_t** next = nullptr) const;

    int32_t lastError() const { return lastError_; }
    int32_t groupCount() const { return groupCount_; }
    int32_t registerCount() const { return registerCount_; }
    bool caseSensitive() const { return caseSensitive_ != 0; }
    const PatternInstruction* program() const { return program_.data(); }
    std::size_t programCount() const { return program_.count(); }
    std::size_t programCapacity() const { return program_.capacity(); }

private:
    class Compiler;
    bool runOn(const wchar_t* text, const wchar_t* work, std::size_t length, PatternMatch& context,
               const wchar_t** next) const;
    friend class Compiler;

    int32_t lastError_ = 0;
    GrowableArray<PatternInstruction> program_;
    int32_t groupCount_ = 0;
    int32_t registerCount_ = 0;
    int32_t caseSensitive_ = 1;
    std::size_t instructionLimit_;
};

// Test hook: the next match call on this thread raises CAtlException with this code before it
// touches anything. Lets tests prove that callers keep the matcher's faults to themselves.
void raiseInNextMatchForTesting(int32_t hresult);
