# cpack: Debian packages on Linux (one per component), a zip per
# architecture on Windows. Configure a Debian build with
# -DCMAKE_INSTALL_PREFIX=/usr so that the library lands in the multiarch
# directory. The Python package is a Debian package of its own, for
# Debian's python3; the Windows zip leaves it out.
set(CPACK_PACKAGE_NAME KestrixSPI)
set(CPACK_PACKAGE_VENDOR Kestrix)
set(CPACK_PACKAGE_CONTACT "Kestrix <packages@kestrix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client library for the Kestrix network SPI gateway")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://kestrix.invalid/spi")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(CPACK_PACKAGE_FILE_NAME KestrixSPI-${PROJECT_VERSION}-win64)
    else()
        set(CPACK_PACKAGE_FILE_NAME KestrixSPI-${PROJECT_VERSION}-win32)
    endif()
    set(CPACK_ARCHIVE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
    set(CPACK_DEBIAN_PACKAGE_SECTION libs)

    set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkestrixspi1)
    # The first line of every description is the package summary above.
    set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "The shared libraries: KestrixSPI opens gateways by their network address
and runs SPI transfers, command sequences and digital line requests over TCP;
KestrixFlash identifies, reads, writes, verifies and erases a 25-series SPI
flash on a gateway's bus.")
    # The shlibs file lets dpkg-shlibdeps map libKestrixSPI.so.1 and
    # libKestrixFlash.so.1 to this package.
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

    set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkestrixspi-dev)
    set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
    set(CPACK_DEBIAN_DEV_DESCRIPTION "Development files: the C headers and the C++20 wrappers of both libraries,
the CMake package, the pkg-config files, examples and a manual page per
function.")

    set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kestrix-spi-tools)
    set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Tools: kestrix-spi runs transfers, sequences, digital line and 25-series
flash commands from the shell; kestrix-gateway simulates a gateway.")
    # dpkg-shlibdeps cannot see the library of the package beside this one,
    # so the system libraries are named here and the library comes in as a
    # component dependency.
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")

    # The library and the simulator come in as component dependencies.
    list(APPEND CPACK_COMPONENTS_ALL python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kestrix-spi)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python package kestrix_spi: the library's functions through ctypes, typed,
and kestrix_spi.testing with a pytest fixture that runs the simulator.")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.8)")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
        ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "Library")
cpack_add_component(dev DISPLAY_NAME "Development files" DEPENDS runtime)
cpack_add_component(tools DISPLAY_NAME "Tools" DEPENDS runtime)
cpack_add_component(python DISPLAY_NAME "Python package" DEPENDS runtime tools)
