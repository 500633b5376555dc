# cmake -DNM=... -DOBJECTS="a.o|b.o" -P no_float.cmake: fails when the agent's own code calls a
# floating-point routine. On soft-float MIPS only libgcc's integer helpers fit (Debian builds
# its libgcc for hard float), so the agent must do no floating point at all.
string(REPLACE "|" ";" objects "${OBJECTS}")
execute_process(COMMAND ${NM} -u ${objects} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on the agent's objects")
endif()
string(REGEX MATCHALL "__(add|sub|mul|div|neg|eq|ne|gt|ge|lt|le|unord|fix|fixuns|float|floatun|extend|trunc|pow)[a-z]*(sf|df|tf)[0-9]?"
       calls "${undefined}")
if(calls)
    list(REMOVE_DUPLICATES calls)
    message(FATAL_ERROR "the router agent's code does floating point (${calls}); on soft-float "
                        "MIPS this would reach libgcc's hard-float routines")
endif()
