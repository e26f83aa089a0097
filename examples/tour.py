"""A first look at varnel: leaves, expressions, folding, lanes and gradients."""

from _varnel import Constant, Parameter, Undefined, sin, vec3

c = Constant(1, 2, 3)
p = Parameter(0.5, name="p")
u = Undefined(hint=[1.0, 2.0], name="u")
for leaf in (c, p, u):
    print(f"{leaf!r:28} kind={leaf.kind:9} dim={leaf.dim} value/hint="
          f"{leaf.value if not leaf.is_undefined else leaf.hint}")

folded = Constant(2) + 3
print(f"Constant(2) + 3 folds into {folded!r} holding {folded.value}")

e = sin(p) * c + p
print(f"e = sin(p) * c + p is {e!r}; its inputs are {e.inputs}")
print(f"e evaluates to {e.eval()}; its first lane e.x is {e.x!r}")

v = vec3(p, 1, p * p)
s = v.x + v.y + v.z
s.backward()
print(f"d(p + 1 + p*p)/dp at p = 0.5 is {p.grad}")
