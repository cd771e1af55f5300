// Macros that expand the method list, <taviksms/methods.def>, into C++: a declaration, a
// definition, a table row or a switch case per method. Each user defines TAVIKSMS_METHOD(id,
// name, result, params...) in terms of these and includes the list; for example the class
// TavikSms declares its methods with TAVIKSMS_DECLARE_METHOD (below), which gives, for Login,
// `std::u16string Login(const std::u16string& User_ID, const std::u16string& Passwd);`.
#pragma once

#include <cstdint>
#include <string>

// The C++ type of a value of list type `type` (text, int32): results and converted arguments.
#define TAVIKSMS_RESULT(type) TAVIKSMS_RESULT_##type
#define TAVIKSMS_RESULT_text std::u16string
#define TAVIKSMS_RESULT_int32 std::int32_t

// A parameter `(type, name)` as a C++ parameter declaration; as an argument (its name).
#define TAVIKSMS_PARAM(type, name) TAVIKSMS_PARAM_##type name
#define TAVIKSMS_PARAM_text const std::u16string&
#define TAVIKSMS_PARAM_int32 std::int32_t
#define TAVIKSMS_ARG(type, name) name

// A method's declaration in a class that carries the methods:
//   #define TAVIKSMS_METHOD TAVIKSMS_DECLARE_METHOD
//   #include <taviksms/methods.def>
#define TAVIKSMS_DECLARE_METHOD(id, name, result, ...) \
  TAVIKSMS_RESULT(result) name(TAVIKSMS_EACH(TAVIKSMS_PARAM, __VA_ARGS__));

// TAVIKSMS_EACH(F, (t1, n1), (t2, n2), ...) is `F(t1, n1), F(t2, n2), ...`, nothing for no
// parameters. (Rescanned up to 32 times: enough for the longest list, 13.)
#define TAVIKSMS_EACH(F, ...) __VA_OPT__(TAVIKSMS_PP_EXPAND(TAVIKSMS_PP_EACH(F, __VA_ARGS__)))
#define TAVIKSMS_PP_EACH(F, param, ...) \
  F param __VA_OPT__(, TAVIKSMS_PP_EACH_AGAIN TAVIKSMS_PP_PARENS(F, __VA_ARGS__))
#define TAVIKSMS_PP_EACH_AGAIN() TAVIKSMS_PP_EACH
#define TAVIKSMS_PP_PARENS ()
#define TAVIKSMS_PP_EXPAND(...) TAVIKSMS_PP_EXPAND16(TAVIKSMS_PP_EXPAND16(__VA_ARGS__))
#define TAVIKSMS_PP_EXPAND16(...) \
  TAVIKSMS_PP_EXPAND4(TAVIKSMS_PP_EXPAND4(TAVIKSMS_PP_EXPAND4(TAVIKSMS_PP_EXPAND4(__VA_ARGS__))))
#define TAVIKSMS_PP_EXPAND4(...) \
  TAVIKSMS_PP_EXPAND1(TAVIKSMS_PP_EXPAND1(TAVIKSMS_PP_EXPAND1(TAVIKSMS_PP_EXPAND1(__VA_ARGS__))))
#define TAVIKSMS_PP_EXPAND1(...) __VA_ARGS__
