# Installs the build tree into a scratch prefix and checks it from the
# outside: the files and their SONAMEs, the installed sonex running without
# LD_LIBRARY_PATH, and a C client built against the installed tree through
# pkg-config and through find_package(Kelvra).
#
# Variables: BUILD_DIR WORK_DIR CONSUMER_DIR SAMPLE C_COMPILER PKG_CONFIG
#            GENERATOR LIBDIR VERSION SOVERSION

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "install_tree: ${text}")
endfunction()

# Runs a command with LD_LIBRARY_PATH unset (so only RUNPATHs and the system
# path find libraries); fails on a non-zero exit. Output in <out_var>.
function(run out_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(JOIN " " cmd ${ARGN})
    fail("`${cmd}` failed (${rc}):\n${out}\n${err}")
  endif()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(libdir ${prefix}/${LIBDIR})
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run(ignored ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Files.
set(expected
  bin/sonex
  include/kelvra.h
  share/man/man1/sonex.1
  share/bash-completion/completions/sonex
  ${LIBDIR}/libkelvra.so
  ${LIBDIR}/pkgconfig/kelvra.pc
  ${LIBDIR}/cmake/Kelvra/KelvraConfig.cmake
  ${LIBDIR}/cmake/Kelvra/KelvraConfigVersion.cmake
  ${LIBDIR}/cmake/Kelvra/KelvraTargets.cmake)
foreach(lib kelvra vexmar trevik morlin pellow)
  list(APPEND expected ${LIBDIR}/lib${lib}.so.${SOVERSION} ${LIBDIR}/lib${lib}.so.${VERSION})
endforeach()
foreach(f IN LISTS expected)
  if(NOT EXISTS ${prefix}/${f})
    fail("${f} is not installed")
  endif()
endforeach()
foreach(f IN ITEMS bin/sonex ${LIBDIR}/libkelvra.so.${VERSION})
  if(NOT EXISTS ${prefix}/${f} OR IS_SYMLINK ${prefix}/${f})
    fail("${f} is not a file")
  endif()
endforeach()

# SONAMEs, and RUNPATHs relative to the installed file.
find_program(READELF readelf REQUIRED)
foreach(lib kelvra vexmar trevik morlin pellow)
  run(dyn ${READELF} -d ${libdir}/lib${lib}.so.${VERSION})
  if(NOT dyn MATCHES "Library soname: \\[lib${lib}\\.so\\.${SOVERSION}\\]")
    fail("lib${lib}.so.${VERSION} lacks the SONAME lib${lib}.so.${SOVERSION}:\n${dyn}")
  endif()
endforeach()
run(dyn ${READELF} -d ${prefix}/bin/sonex)
if(NOT dyn MATCHES "(RUNPATH|RPATH)[^\n]*\\$ORIGIN")
  fail("bin/sonex has no \$ORIGIN run path:\n${dyn}")
endif()
if(dyn MATCHES "${BUILD_DIR}")
  fail("bin/sonex still names the build folder:\n${dyn}")
endif()

# The installed program on the bundled sample: information, then a conversion.
run(info ${prefix}/bin/sonex -info ${SAMPLE})
if(NOT info MATCHES "duration: ([0-9]+)ms")
  fail("sonex -info printed no duration:\n${info}")
endif()
set(sample_ms ${CMAKE_MATCH_1})
run(ignored ${prefix}/bin/sonex -i ${SAMPLE} -out ${WORK_DIR}/sample.wav -quiet 1)
file(SIZE ${WORK_DIR}/sample.wav wav_size)
if(wav_size LESS_EQUAL 44)
  fail("sonex wrote no audio into sample.wav (${wav_size} bytes)")
endif()

# Client through pkg-config.
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
run(pc_version ${PKG_CONFIG} --modversion kelvra)
string(STRIP "${pc_version}" pc_version)
if(NOT pc_version STREQUAL VERSION)
  fail("pkg-config reports version '${pc_version}', not ${VERSION}")
endif()
run(pc_flags ${PKG_CONFIG} --cflags --libs kelvra)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run(ignored ${C_COMPILER} ${CONSUMER_DIR}/flv_duration.c ${pc_flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/flv_duration_pc)
run(pc_out ${WORK_DIR}/flv_duration_pc ${SAMPLE})

# Client through the CMake package.
run(ignored ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_BUILD_TYPE=Release)
run(ignored ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(cmake_out ${WORK_DIR}/consumer/flv_duration ${SAMPLE})

foreach(out IN ITEMS "${pc_out}" "${cmake_out}")
  if(NOT out MATCHES "duration: ${sample_ms} ms")
    fail("the client printed '${out}', expected the duration ${sample_ms} ms")
  endif()
endforeach()
message(STATUS "install_tree: installed tree works (${sample_ms} ms)")
