"""The shared check of an exception's class and message."""
import pytest

# The binding library's conversion errors share this beginning only.
CAST = "Unable to cast Python instance of type "
# Any message: the class alone is documented.
ANY = None


def check_raises(call, exc, msg):
    with pytest.raises(exc) as info:
        call()
    if msg == CAST:
        assert str(info.value).startswith(CAST)
    elif msg is not ANY:
        assert str(info.value) == msg
