// Fault injection through the table of calls of mode single: an entry is
// replaced by a wrapper that fails its Nth call (counted from 1), once or from
// then on, with a chosen last error, and otherwise calls the function it
// replaced. single_calls_reset() puts every entry back.
#pragma once

#include <atomic>

#include "single/single_calls.h"

template <auto Member>
struct FaultedCall;

template <typename R, typename... A, R (*SingleCalls::*Member)(A...)>
struct FaultedCall<Member> {
    static inline std::atomic<int> calls{0};
    static inline int nth = 0;
    static inline bool from_then_on = false;
    static inline DWORD error = 0;
    static inline R failure{};
    static inline R (*replaced)(A...) = nullptr;

    static R call(A... args) {
        int n = ++calls;
        if (from_then_on ? n >= nth : n == nth) {
            SetLastError(error);
            return failure;
        }
        return replaced(args...);
    }
};

// Makes call number nth of the entry fail (and every later one when
// from_then_on), returning failure with the last error set to error.
template <auto Member, typename R>
void fail_call(int nth, bool from_then_on, DWORD error, R failure) {
    using F = FaultedCall<Member>;
    F::calls = 0;
    F::nth = nth;
    F::from_then_on = from_then_on;
    F::error = error;
    F::failure = failure;
    if (single_calls.*Member != &F::call) F::replaced = single_calls.*Member;
    single_calls.*Member = &F::call;
}

// How often the entry was called since fail_call.
template <auto Member>
int calls_of() {
    return FaultedCall<Member>::calls;
}
