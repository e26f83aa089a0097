// The elementary functions of the C math library as graph builders: each
// takes and returns a Value and is built like sin and cos. An operand is
// checked first; all-constant operands fold into a new Constant through the
// kernels evaluation uses, so the folded lanes are what eval would give.
// Functions of two operands combine lane counts as the arithmetic operators
// do (equal, or one operand of one lane), and take a number on either side.
//
// A lane outside a function's domain (the square root or logarithm of a
// negative number, asin(2), pow(-8.0, 1.0 / 3.0)) is NaN, and is refused as
// every lane that is not finite: when folding, by eval and backward, and by
// a Function. Derivatives are not checked: the square root's at 0 is
// infinite, and gradients carry it as they carry an overflow.
#pragma once

#include "symbolic/symbolic.h"

namespace varnel::symbolic {

Value sqrt(Value x);
Value exp(Value x);
Value log(Value x);
Value tan(Value x);
Value asin(Value x);
Value acos(Value x);
Value atan(Value x);
Value sinh(Value x);
Value cosh(Value x);
Value tanh(Value x);
// The derivative at 0 is 0.
Value abs(Value x);
Value log1p(Value x);
Value expm1(Value x);
Value cbrt(Value x);

// base to the power exponent. A negative base takes integral exponents
// only. The derivative with respect to the exponent is taken only when the
// exponent is not a Constant.
Value pow(Value base, Value exponent);
Value pow(Value base, double exponent);
Value pow(double base, Value exponent);
// The angle of the point (x, y), in radians, in [-pi, pi].
Value atan2(Value y, Value x);
Value atan2(Value y, double x);
Value atan2(double y, Value x);
// The length of (x, y), without overflow in between; the derivative at the
// origin is 0.
Value hypot(Value x, Value y);
Value hypot(Value x, double y);
Value hypot(double x, Value y);

}  // namespace varnel::symbolic
