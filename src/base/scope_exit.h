// The one clean-up guard of the code base: runs a callable when the scope is
// left, however it is left.
#pragma once

template <class F>
class ScopeExit {
  public:
    explicit ScopeExit(F f) : f_(f) {}
    ~ScopeExit() { f_(); }
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;

  private:
    F f_;
};
