# Fails unless BINARY's only dynamic dependency is libc (and its interpreter
# is the system loader).
execute_process(COMMAND ${READELF} --dynamic --program-headers --wide ${BINARY}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${BINARY}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${out}")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "unexpected dynamic dependencies: ${needed}")
endif()
string(REGEX MATCH "Requesting program interpreter: [^]]*" interp "${out}")
if(NOT interp MATCHES "/ld-linux[-a-z0-9_.]*\\.so\\.[0-9]+$")
  message(FATAL_ERROR "unexpected interpreter: ${interp}")
endif()
message(STATUS "${BINARY}: ${needed}; ${interp}")
