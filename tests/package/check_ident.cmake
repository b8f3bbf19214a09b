# The identification strings are in the optimised library.
file(STRINGS ${LIB} ident REGEX "@\\(#\\)")
string(FIND "${ident}" "@(#) ZR_19.0001.0124.1224  Corvane SDK 2.0" kova)
string(FIND "${ident}" "RCS_19.0001.0124.1224" rcs)
if(kova EQUAL -1 OR rcs EQUAL -1)
  message(FATAL_ERROR "identification strings missing from ${LIB}: ${ident}")
endif()
