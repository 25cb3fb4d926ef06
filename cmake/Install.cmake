# cmake --install: the library with its headers, a CMake package and a
# pkg-config file, the tools, the Python package and the documents. Every
# path is relative to the prefix, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

set(KESTRIX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/KestrixSPI)
set(KESTRIX_INSTALL_PYTHONDIR "" CACHE STRING
    "Where the Python package goes: relative to the prefix, or absolute; empty asks the Python interpreter")

# Components: runtime (the shared library), dev (headers, import and link
# files, CMake and pkg-config packages, the library's manual pages), tools
# (the command-line tool and the simulator). Whatever was left unbuilt is
# skipped (OPTIONAL), so an install works after building any set of targets.
install(TARGETS KestrixSPI KestrixFlash EXPORT KestrixSPITargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime OPTIONAL
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime OPTIONAL NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/include/KestrixSPI.h ${PROJECT_SOURCE_DIR}/include/KestrixSPI.hpp
    ${PROJECT_SOURCE_DIR}/include/KestrixFlash.h ${PROJECT_SOURCE_DIR}/include/KestrixFlash.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsInstall.cmake)
endif()
install(EXPORT KestrixSPITargets NAMESPACE KestrixSPI:: DESTINATION ${KESTRIX_INSTALL_CMAKEDIR} COMPONENT dev)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KestrixSPIConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/KestrixSPIConfig.cmake
    INSTALL_DESTINATION ${KESTRIX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/KestrixSPIConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/KestrixSPIConfig.cmake
    ${PROJECT_BINARY_DIR}/package/KestrixSPIConfigVersion.cmake
    DESTINATION ${KESTRIX_INSTALL_CMAKEDIR} COMPONENT dev)

file(RELATIVE_PATH KESTRIX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KESTRIX_PC_TO_PREFIX "${KESTRIX_PC_TO_PREFIX}")
# Relative to the file, so that an installed tree can move; in /usr plainly
# /usr, so that pkg-config sees system directories and leaves them out.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(KESTRIX_PC_PREFIX /usr)
else()
    set(KESTRIX_PC_PREFIX "\${pcfiledir}/${KESTRIX_PC_TO_PREFIX}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/KestrixSPI.pc.in ${PROJECT_BINARY_DIR}/package/KestrixSPI.pc.in @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/KestrixSPI.pc
    INPUT ${PROJECT_BINARY_DIR}/package/KestrixSPI.pc.in)
install(FILES ${PROJECT_BINARY_DIR}/package/KestrixSPI.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
configure_file(${CMAKE_CURRENT_LIST_DIR}/KestrixFlash.pc.in ${PROJECT_BINARY_DIR}/package/KestrixFlash.pc.in @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/KestrixFlash.pc
    INPUT ${PROJECT_BINARY_DIR}/package/KestrixFlash.pc.in)
install(FILES ${PROJECT_BINARY_DIR}/package/KestrixFlash.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

if(TARGET kestrix-spi)
    # Found beside itself in any prefix; a system prefix needs no search path.
    if(NOT WIN32 AND NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        file(RELATIVE_PATH bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
        set_target_properties(kestrix-spi PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    endif()
    install(TARGETS kestrix-spi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools OPTIONAL)
endif()
if(TARGET kestrix-gateway)
    install(TARGETS kestrix-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools OPTIONAL)
endif()

# The Python package goes where the interpreter looks (or where
# KESTRIX_INSTALL_PYTHONDIR says) and learns from _installed.py where the
# prefix lies, relative to itself when it lies inside, so the tree can be
# moved, and where the library and the simulator lie in the prefix.
if(EXISTS ${PROJECT_SOURCE_DIR}/bindings/python/kestrix_spi)
    set(python_dir "${KESTRIX_INSTALL_PYTHONDIR}")
    if(python_dir STREQUAL "")
        find_package(Python3 COMPONENTS Interpreter QUIET)
        if(Python3_FOUND)
            execute_process(COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/PythonInstallDir.py
                ${CMAKE_INSTALL_PREFIX} OUTPUT_VARIABLE python_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
        endif()
        if(python_dir STREQUAL "")
            set(python_dir lib/python3/dist-packages)
        endif()
    endif()
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/kestrix_spi DESTINATION ${python_dir}
        PATTERN __pycache__ EXCLUDE)
    # A DLL has no soname; a generator expression naming one fails even in
    # the branch not taken, so the choice is made here.
    if(WIN32)
        set(library_path ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:KestrixSPI>)
    else()
        set(library_path ${CMAKE_INSTALL_LIBDIR}/$<TARGET_SONAME_FILE_NAME:KestrixSPI>)
    endif()
    if(WIN32)
        set(flash_library_path ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:KestrixFlash>)
    else()
        set(flash_library_path ${CMAKE_INSTALL_LIBDIR}/$<TARGET_SONAME_FILE_NAME:KestrixFlash>)
    endif()
    set(installed "PREFIX = r\"@prefix@\"\nLIBRARY = \"${library_path}\"\nFLASH_LIBRARY = \"${flash_library_path}\"\n")
    if(TARGET kestrix-gateway)
        string(APPEND installed "GATEWAY = \"${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:kestrix-gateway>\"\n")
    endif()
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/_installed.py.in CONTENT "${installed}")
    if(IS_ABSOLUTE "${python_dir}")
        # Known only when installing (cmake --install --prefix).
        set(prefix "\${CMAKE_INSTALL_PREFIX}")
    else()
        file(RELATIVE_PATH prefix /prefix/${python_dir}/kestrix_spi /prefix)
    endif()
    install(CODE "set(prefix \"${prefix}\")
        configure_file(\"${PROJECT_BINARY_DIR}/package/_installed.py.in\" \"${PROJECT_BINARY_DIR}/package/_installed.py\" @ONLY)")
    install(FILES ${PROJECT_BINARY_DIR}/package/_installed.py DESTINATION ${python_dir}/kestrix_spi)
    # The metadata pip would write, so that importlib.metadata and pytest's
    # plugin loading find the package; without a RECORD pip leaves it alone.
    set(dist_info ${PROJECT_BINARY_DIR}/package/kestrix_spi-${PROJECT_VERSION}.dist-info)
    file(WRITE ${dist_info}/METADATA "Metadata-Version: 2.1\nName: kestrix_spi\nVersion: ${PROJECT_VERSION}\n")
    file(WRITE ${dist_info}/entry_points.txt "[pytest11]\nkestrix_spi = kestrix_spi.pytest_plugin\n")
    file(WRITE ${dist_info}/INSTALLER "cmake\n")
    install(DIRECTORY ${dist_info} DESTINATION ${python_dir})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/gateway/README.md)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/gateway/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME simulator.md COMPONENT tools)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT dev)
