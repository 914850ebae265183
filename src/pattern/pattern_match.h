// One search's context and result for PatternMatcher::match, reused across calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/growable_array.h"
#include "pattern/pattern_matcher.h"

// A capture group's text: end points after its last character. Both null while the group has
// taken no part in the match.
struct GroupSpan {
    const wchar_t* start;
    const wchar_t* end;
};

constexpr std::size_t kUnlimitedStackCells = SIZE_MAX;

class PatternMatch {
public:
    // The stack starts with initialStackCells zero-filled cells and grows on demand up to
    // stackCellLimit cells (memory permitting); a search that needs more ends with no match.
    explicit PatternMatch(std::size_t initialStackCells, std::size_t stackCellLimit = kUnlimitedStackCells);
    PatternMatch(const PatternMatch&) = delete;
    PatternMatch& operator=(const PatternMatch&) = delete;

    // Read after a true match: the spans of the pattern's capture groups, numbered from 0 in the
    // order of their opening braces.
    uint32_t groupCount() const { return groupCount_; }
    const GroupSpan* groups() const { return groups_.data(); }
    // Raises CAtlException(kHresultInvalidArg) for a group the pattern does not have.
    const GroupSpan& group(uint32_t g) const;
    const wchar_t* matchStart() const { return matchStart_; }
    const wchar_t* matchEnd() const { return matchEnd_; }

    // Instructions one match call may run before it gives up with no match.
    void setStepBudget(uint64_t steps) { stepBudget_ = steps; }
    std::size_t stackSize() const { return stack_.count(); }

private:
    friend class PatternMatcher;
    friend class MatchMachine;

    uint32_t groupCount_ = 0;
    const wchar_t* matchStart_ = nullptr;
    const wchar_t* matchEnd_ = nullptr;
    GrowableArray<uint64_t> registers_;
    GrowableArray<GroupSpan> groups_;
    // Cell 0 is never used: stackTop_ 0 means empty, and popping an empty stack yields 0.
    GrowableArray<uint64_t> stack_;
    uint64_t stackTop_ = 0;
    std::size_t stackCellLimit_;
    uint64_t stepBudget_ = kDefaultMatchStepBudget;
};
