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
# moved, and where its native files (bindings/python/native.cmake) lie in it.
# The interpreter asked is the prefix's own bin/python3 if it has one (/usr
# on Debian, a venv), else the one CMake found.
if(EXISTS ${PROJECT_SOURCE_DIR}/bindings/python/kestrix_spi)
    include(${PROJECT_SOURCE_DIR}/bindings/python/native.cmake)
    set(install_python "")
    if(EXISTS ${CMAKE_INSTALL_PREFIX}/bin/python3)
        set(install_python ${CMAKE_INSTALL_PREFIX}/bin/python3)
    else()
        find_package(Python3 COMPONENTS Interpreter QUIET)
        if(Python3_FOUND)
            set(install_python ${Python3_EXECUTABLE})
        endif()
    endif()
    set(python_dir "${KESTRIX_INSTALL_PYTHONDIR}")
    if(python_dir STREQUAL "" AND install_python)
        execute_process(COMMAND ${install_python} ${CMAKE_CURRENT_LIST_DIR}/PythonInstallDir.py
            ${CMAKE_INSTALL_PREFIX} OUTPUT_VARIABLE python_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    if(python_dir STREQUAL "")
        set(python_dir lib/python3/dist-packages)
    endif()
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/kestrix_spi DESTINATION ${python_dir}
        COMPONENT python PATTERN __pycache__ EXCLUDE)

    set(installed "PREFIX = r\"@prefix@\"\n")
    set(pairs ${KESTRIX_PYTHON_NATIVE})
    while(pairs)
        list(POP_FRONT pairs key target)
        if(NOT TARGET ${target})
            continue()
        endif()
        get_target_property(type ${target} TYPE)
        # A DLL has no soname; a generator expression naming one fails even
        # in the branch not taken, so the choice is made here.
        if(type STREQUAL "EXECUTABLE" OR WIN32)
            set(path ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>)
        else()
            set(path ${CMAKE_INSTALL_LIBDIR}/$<TARGET_SONAME_FILE_NAME:${target}>)
        endif()
        string(APPEND installed "${key} = \"${path}\"\n")
    endwhile()
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/_installed.py.in CONTENT "${installed}")
    if(IS_ABSOLUTE "${python_dir}")
        # Known only when installing (cmake --install --prefix).
        set(prefix "\${CMAKE_INSTALL_PREFIX}")
    else()
        file(RELATIVE_PATH prefix /prefix/${python_dir}/kestrix_spi /prefix)
    endif()
    install(CODE "set(prefix \"${prefix}\")
        configure_file(\"${PROJECT_BINARY_DIR}/package/_installed.py.in\" \"${PROJECT_BINARY_DIR}/package/_installed.py\" @ONLY)"
        COMPONENT python)
    install(FILES ${PROJECT_BINARY_DIR}/package/_installed.py DESTINATION ${python_dir}/kestrix_spi COMPONENT python)
    # The metadata pip would write, so that importlib.metadata and pytest's
    # plugin loading find the package; without a RECORD pip leaves it alone.
    # The entry point is named after the module, as in the wheel, so that
    # `-p kestrix_spi.pytest_plugin` does not register it a second time.
    set(dist_info ${PROJECT_BINARY_DIR}/package/kestrix_spi-${PROJECT_VERSION}.dist-info)
    file(WRITE ${dist_info}/METADATA "Metadata-Version: 2.1\nName: kestrix_spi\nVersion: ${PROJECT_VERSION}\n")
    file(WRITE ${dist_info}/entry_points.txt "[pytest11]\nkestrix_spi.pytest_plugin = kestrix_spi.pytest_plugin\n")
    file(WRITE ${dist_info}/INSTALLER "cmake\n")
    install(DIRECTORY ${dist_info} DESTINATION ${python_dir} COMPONENT python)

    # Says where the package went, and how to import it when the interpreter
    # does not look there.
    if(install_python)
        install(CODE "
            set(dir \"${python_dir}\")
            if(NOT IS_ABSOLUTE \"\${dir}\")
                set(dir \"\${CMAKE_INSTALL_PREFIX}/\${dir}\")
            endif()
            set(python \"${install_python}\")
            if(EXISTS \"\${CMAKE_INSTALL_PREFIX}/bin/python3\")
                set(python \"\${CMAKE_INSTALL_PREFIX}/bin/python3\")
            endif()
            execute_process(COMMAND \"\${python}\" -E \"${CMAKE_CURRENT_LIST_DIR}/PythonInstallDir.py\"
                --searches \"\${dir}\" RESULT_VARIABLE searched OUTPUT_QUIET ERROR_QUIET)
            if(searched EQUAL 0)
                message(STATUS \"Python package kestrix_spi: \${dir}, where \${python} finds it\")
            else()
                message(NOTICE \"Python package kestrix_spi: \${dir}, which \${python} does not search; \"
                    \"import it with PYTHONPATH=\${dir} (or configure with -DPython3_EXECUTABLE=... or \"
                    \"-DKESTRIX_INSTALL_PYTHONDIR=...)\")
            endif()" COMPONENT python)
    endif()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/gateway/README.md)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/gateway/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME simulator.md COMPONENT tools)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT dev)
