"""Walking the graph below a value without recursion.

Graphs built in a loop (``x = x * a + b`` a million times) are far deeper
than Python's recursion limit, so every walk here keeps its own stack.
"""

from collections.abc import Iterator

from _varnel import Expression


def walk(
    value: Expression,
) -> Iterator[tuple[Expression, int, tuple[Expression, ...], list[int]]]:
    """Yield ``(node, id, operands, operand ids)`` once per node below ``value``.

    ``value`` comes first; operands are visited depth first, operand 0
    before operand 1. Nodes are told apart by ``id``, so a node reached
    along several paths is yielded once. The stack only holds nodes seen
    but not yet yielded, which keeps it short on long chains. Ids are
    handed out with the nodes because every property read costs a call
    into the module.
    """
    seen = {value.id}
    stack = [(value, value.id)]
    while stack:
        node, node_id = stack.pop()
        inputs = node.inputs
        ids = [operand.id for operand in inputs]
        yield node, node_id, inputs, ids
        for operand, operand_id in zip(reversed(inputs), reversed(ids)):
            if operand_id not in seen:
                seen.add(operand_id)
                stack.append((operand, operand_id))
