# cmake --install: the library with its header, a CMake package and a
# pkg-config file, the tools, the Python package and the documents. Every
# path is relative to the prefix, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

set(KESTRIX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/KestrixSPI)
set(KESTRIX_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE STRING
    "Where the Python package goes, relative to the prefix")

install(TARGETS KestrixSPI EXPORT KestrixSPITargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/KestrixSPI.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
    # Beside the import library, for toolchains that make their own.
    install(FILES ${PROJECT_SOURCE_DIR}/src/api/KestrixSPI.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(EXPORT KestrixSPITargets NAMESPACE KestrixSPI:: DESTINATION ${KESTRIX_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KestrixSPIConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/KestrixSPIConfig.cmake
    INSTALL_DESTINATION ${KESTRIX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/KestrixSPIConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/KestrixSPIConfig.cmake
    ${PROJECT_BINARY_DIR}/package/KestrixSPIConfigVersion.cmake
    DESTINATION ${KESTRIX_INSTALL_CMAKEDIR})

file(RELATIVE_PATH KESTRIX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KESTRIX_PC_TO_PREFIX "${KESTRIX_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/KestrixSPI.pc.in ${PROJECT_BINARY_DIR}/package/KestrixSPI.pc.in @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/KestrixSPI.pc
    INPUT ${PROJECT_BINARY_DIR}/package/KestrixSPI.pc.in)
install(FILES ${PROJECT_BINARY_DIR}/package/KestrixSPI.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET kestrix-spi)
    if(NOT WIN32)
        file(RELATIVE_PATH bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
        set_target_properties(kestrix-spi PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    endif()
    install(TARGETS kestrix-spi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET kestrix-gateway)
    install(TARGETS kestrix-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The Python package learns where the library lies relative to itself.
if(EXISTS ${PROJECT_SOURCE_DIR}/bindings/python/kestrix_spi)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/kestrix_spi DESTINATION ${KESTRIX_INSTALL_PYTHONDIR}
        PATTERN __pycache__ EXCLUDE)
    # A DLL has no soname; a generator expression naming one fails even in
    # the branch not taken, so the choice is made here.
    if(WIN32)
        set(library_dir ${CMAKE_INSTALL_BINDIR})
        set(library_file $<TARGET_FILE_NAME:KestrixSPI>)
    else()
        set(library_dir ${CMAKE_INSTALL_LIBDIR})
        set(library_file $<TARGET_SONAME_FILE_NAME:KestrixSPI>)
    endif()
    file(RELATIVE_PATH package_to_lib /prefix/${KESTRIX_INSTALL_PYTHONDIR}/kestrix_spi /prefix/${library_dir})
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/_installed.py CONTENT
"import os

LIBRARY = os.path.normpath(os.path.join(os.path.dirname(__file__), \"${package_to_lib}\", \"${library_file}\"))
")
    install(FILES ${PROJECT_BINARY_DIR}/package/_installed.py DESTINATION ${KESTRIX_INSTALL_PYTHONDIR}/kestrix_spi)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/gateway/README.md)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/gateway/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME simulator.md)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
