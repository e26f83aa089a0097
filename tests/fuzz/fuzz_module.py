"""Coverage-guided fuzzing of the _varnel module's Python surface (atheris).

Fuzzer bytes choose the calls and their arguments through the same driver as the
property-based test (surface.py): factory arguments, operator sequences in both
operand orders, lane access, seeds, set_value, backward and zero_grad. Every
invariant the driver checks is an assertion here, so a violation, an
undocumented exception or a crash stops the fuzzer with a reproducer file.
See README.md beside this file for the commands.
"""
import pathlib
import sys

import atheris

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
with atheris.instrument_imports(include=["surface"]):
    import surface

STEPS = 64


class BytesChooser(surface.Chooser):
    def __init__(self, fdp):
        self.fdp = fdp

    def below(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1) if n > 1 else 0

    def integer(self):
        return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 20))

    def real(self):
        return self.fdp.ConsumeFloat()

    def text(self):
        return self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 4))

    def blob(self):
        return self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 4))


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    driver = surface.Driver(BytesChooser(fdp))
    for _ in range(STEPS):
        if fdp.remaining_bytes() == 0:
            break
        driver.step()


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
