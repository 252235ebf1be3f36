# Installation and packaging of sonex and Kelvra.
#
# Layout (GNUInstallDirs): the program in bin/, libkelvra.so and the bridge
# libraries it needs in the library folder (lib/<multiarch> when the prefix is
# /usr, lib/ otherwise), kelvra.h in include/, a pkg-config file and a CMake
# package beside the libraries, the manual page in share/man/man1, the bash
# completion in share/bash-completion/completions.
#
# Installed binaries carry a RUNPATH relative to $ORIGIN, so a tree installed
# under any prefix (cmake --install <build> --prefix <dir>) finds its own
# libraries without LD_LIBRARY_PATH; under /usr the loader's default path
# finds them as well.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KELVRA_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kelvra)
set(KELVRA_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Where the libraries lie as seen from the program's folder.
file(RELATIVE_PATH kelvra_bin_to_lib
     ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})

# The bridge libraries that exist as shared libraries in this build (a bridge
# not written yet is a header-only stand-in and installs nothing).
set(kelvra_bridge_libraries "")
foreach(lib IN ITEMS vexmar trevik morlin pellow)
  if(TARGET ${lib})
    get_target_property(type ${lib} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      list(APPEND kelvra_bridge_libraries ${lib})
    endif()
  endif()
endforeach()

# Libraries find their neighbours in their own folder.
set_target_properties(kelvra ${kelvra_bridge_libraries} PROPERTIES INSTALL_RPATH "\$ORIGIN")

# The bridge libraries have no installed headers: only the run-time files
# (libvexmar.so.1.0.0 and its SONAME link libvexmar.so.1) are installed.
# They go into the export set because libkelvra.so needs them at load time
# (clients' linkers follow them); their header folders are for the build
# tree only.
foreach(lib IN LISTS kelvra_bridge_libraries)
  get_target_property(dirs ${lib} INTERFACE_INCLUDE_DIRECTORIES)
  if(dirs)
    list(TRANSFORM dirs PREPEND "$<BUILD_INTERFACE:")
    list(TRANSFORM dirs APPEND ">")
    set_target_properties(${lib} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${dirs}")
  endif()
endforeach()
if(kelvra_bridge_libraries)
  install(TARGETS ${kelvra_bridge_libraries} EXPORT KelvraTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
endif()

set_target_properties(kelvra PROPERTIES PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/kelvra.h)
install(TARGETS kelvra EXPORT KelvraTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET sonex)
  set_target_properties(sonex PROPERTIES INSTALL_RPATH "\$ORIGIN/${kelvra_bin_to_lib}")
  install(TARGETS sonex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/doc/sonex.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# bash-completion loads a command's completion from a file named after it.
install(FILES ${PROJECT_SOURCE_DIR}/completion/sonex.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME sonex)

# CMake package: find_package(Kelvra) gives Kelvra::kelvra.
install(EXPORT KelvraTargets NAMESPACE Kelvra:: DESTINATION ${KELVRA_CMAKE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KelvraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KelvraConfig.cmake
  INSTALL_DESTINATION ${KELVRA_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KelvraConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KelvraConfig.cmake ${PROJECT_BINARY_DIR}/KelvraConfigVersion.cmake
        DESTINATION ${KELVRA_CMAKE_INSTALL_DIR})

# pkg-config: the prefix is found from the .pc file's own folder, so the file
# stays right whatever prefix the tree is installed under.
file(RELATIVE_PATH kelvra_pc_to_prefix
     ${CMAKE_INSTALL_PREFIX}/${KELVRA_PKGCONFIG_INSTALL_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" kelvra_pc_to_prefix "${kelvra_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelvra.pc.in ${PROJECT_BINARY_DIR}/kelvra.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelvra.pc DESTINATION ${KELVRA_PKGCONFIG_INSTALL_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
