# cmake -DINPUT=generated.pyi -DOUTPUT=final.pyi -P type_stub_all.cmake
# nanobind's generator annotates a tuple value as a bare `tuple`: __all__ is
# typed as the tuple of names it is.
file(READ "${INPUT}" stub)
string(REPLACE "__all__: tuple =" "__all__: tuple[str, ...] =" stub "${stub}")
file(WRITE "${OUTPUT}" "${stub}")
