// The component class: the methods of <taviksms/methods.def> and the lifecycle handlers.
// Construction is Class_Initialize, destruction Class_Terminate. Methods raise core::Error only
// where the error escapes (no handler of their own, or not available in this build).
//
// Every call, whatever its entry (the C++ API, the COM vtable and IDispatch, the late-bound
// dispatcher the shell uses), passes TavikSms::call: the one place for what concerns each call
// (the thread check, turning stray exceptions into core::Error).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include <taviksms/method_list.h>
#include <taviksms/taviksms.h>

namespace taviksms::core {

// The methods' positions in the method table (methods()).
enum class Method : std::size_t {
#define TAVIKSMS_METHOD(id, name, ...) name,
#include <taviksms/methods.def>
};
const MethodInfo& method_info(Method m);

class TavikSms {
 public:
  TavikSms();
  ~TavikSms();
  TavikSms(const TavikSms&) = delete;
  TavikSms& operator=(const TavikSms&) = delete;

#define TAVIKSMS_METHOD TAVIKSMS_DECLARE_METHOD
#include <taviksms/methods.def>

  // Late-bound call with positional arguments, converted as a script host converts them; raises
  // core::Error for dispatch failures (argument count, type mismatch, overflow).
  Value invoke(const MethodInfo& method, std::span<const Value> args);

 private:
  // A reference to a callable, without an allocation (it lives for the call's expression).
  template <typename R>
  class Ref {
   public:
    template <typename F>
    Ref(F&& f)  // NOLINT(google-explicit-constructor): lambdas convert at the call
        : f_(const_cast<void*>(static_cast<const void*>(&f))),
          run_([](void* p) -> R { return (*static_cast<std::remove_reference_t<F>*>(p))(); }) {}
    R operator()() const { return run_(f_); }

   private:
    void* f_;
    R (*run_)(void*);
  };
  using Body = Ref<Value>;                    // the call's work
  using Arguments = Ref<std::vector<Value>>;  // its arguments, made only when the trace needs them

  // The one function every call passes: checks that the call comes from the thread that created
  // the instance (its session lives in that thread's state), runs `body`, turns anything it throws
  // other than core::Error into one (out of memory; an unexpected failure), and, when the trace is
  // on, writes the call with its arguments, its result and its duration.
  Value call(const MethodInfo& method, Arguments args, Body body);

  std::uintptr_t thread_;  // the creating thread
};

}  // namespace taviksms::core
