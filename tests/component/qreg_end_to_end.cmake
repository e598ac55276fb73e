# qreg from the outside: register the fixture component library, query it,
# export the registry, unregister, and check the failures a user meets.
# Run as: cmake -DQREG=... -DFIXTURE=... -DWORK_DIR=... -P qreg_end_to_end.cmake

foreach(var QREG FIXTURE WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(ENV{QUILLON_REGISTRY} "${WORK_DIR}/registry")

# run(<expected exit code> <args>...): sets OUT and ERR.
macro(run expected)
  execute_process(COMMAND "${QREG}" ${ARGN}
    RESULT_VARIABLE rc OUTPUT_VARIABLE OUT ERROR_VARIABLE ERR)
  if(NOT "${rc}" STREQUAL "${expected}")
    message(FATAL_ERROR "qreg ${ARGN}: exit ${rc}, expected ${expected}\nstdout:\n${OUT}\nstderr:\n${ERR}")
  endif()
endmacro()

macro(expect_equal actual expected what)
  if(NOT "${actual}" STREQUAL "${expected}")
    message(FATAL_ERROR "${what}:\n--- got\n${actual}\n--- expected\n${expected}")
  endif()
endmacro()

macro(expect_contains text part what)
  string(FIND "${text}" "${part}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${what}: \"${part}\" not found in:\n${text}")
  endif()
endmacro()

set(clsid "{5E1D0C11-7A44-4C59-9F0B-2B6D8E3A1C01}")

run(1 query Quillon.Fixture)
expect_equal("${ERR}" "qreg: Quillon.Fixture: no such class\n" "query before register")

run(0 register "${FIXTURE}")
expect_equal("${OUT}" "registered ${FIXTURE}\n" "register output")

set(expected_query
"CLSID                     ${clsid}
Name                      Fixture Object
ProgID                    Quillon.Fixture.1
VersionIndependentProgID  Quillon.Fixture
InprocServer32            ${FIXTURE}
ThreadingModel            Apartment
")
run(0 query Quillon.Fixture)
expect_equal("${OUT}" "${expected_query}" "query by version-independent ProgID")
run(0 query quillon.fixture.1)
expect_equal("${OUT}" "${expected_query}" "query by versioned ProgID")
run(0 query "{5e1d0c11-7a44-4c59-9f0b-2b6d8e3a1c01}")
expect_equal("${OUT}" "${expected_query}" "query by CLSID")

run(0 export)
expect_equal("${OUT}" "; Quillon registry 1

[CLSID]

[CLSID\\${clsid}]
@=\"Fixture Object\"

[CLSID\\${clsid}\\InprocServer32]
@=\"${FIXTURE}\"
\"ThreadingModel\"=\"Apartment\"

[CLSID\\${clsid}\\ProgID]
@=\"Quillon.Fixture.1\"

[CLSID\\${clsid}\\Programmable]

[CLSID\\${clsid}\\VersionIndependentProgID]
@=\"Quillon.Fixture\"

[Quillon.Fixture]
@=\"Fixture Object\"

[Quillon.Fixture\\CLSID]
@=\"${clsid}\"

[Quillon.Fixture\\CurVer]
@=\"Quillon.Fixture.1\"

[Quillon.Fixture.1]
@=\"Fixture Object\"

[Quillon.Fixture.1\\CLSID]
@=\"${clsid}\"
" "export after register")

run(0 unregister "${FIXTURE}")
expect_equal("${OUT}" "unregistered ${FIXTURE}\n" "unregister output")
run(1 query Quillon.Fixture)
run(1 query "${clsid}")
run(0 export)
expect_equal("${OUT}" "; Quillon registry 1\n" "export after unregister")

# What users get wrong.
run(1 register "${WORK_DIR}/no-such-library.so")
expect_equal("${ERR}" "qreg: ${WORK_DIR}/no-such-library.so: no such file\n" "missing library")
file(WRITE "${WORK_DIR}/not-a-library.so" "text")
run(1 register "${WORK_DIR}/not-a-library.so")
expect_contains("${ERR}" "qreg: cannot load ${WORK_DIR}/not-a-library.so: " "not a library")
run(2 frobnicate)
expect_contains("${ERR}" "usage: qreg register" "unknown command")
run(2 query)
run(0 --help)
expect_contains("${OUT}" "QUILLON_REGISTRY" "help")

# A damaged registry is reported, not overwritten.
file(WRITE "${WORK_DIR}/registry" "[CLSID]\n@=\"open\n")
run(1 register "${FIXTURE}")
expect_equal("${ERR}"
  "qreg: DllRegisterServer of ${FIXTURE} failed: 0x80040200: ${WORK_DIR}/registry: line 2: unterminated string\n"
  "register into a damaged registry")
run(1 export)
expect_equal("${ERR}"
  "qreg: cannot read the registry: ${WORK_DIR}/registry: line 2: unterminated string\n"
  "export of a damaged registry")
file(READ "${WORK_DIR}/registry" damaged)
expect_equal("${damaged}" "[CLSID]\n@=\"open\n" "damaged registry untouched")

file(REMOVE_RECURSE "${WORK_DIR}")
