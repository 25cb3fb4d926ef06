# What a Windows build installs besides the DLL: a .def naming the DLL, an
# import library for each toolchain, the debug information apart from the
# DLL, and a README for MSVC users.
get_target_property(kestrix_dll_name KestrixSPI OUTPUT_NAME)
if(NOT kestrix_dll_name)
    set(kestrix_dll_name KestrixSPI)
endif()

# The linked .def leaves the DLL's name to the linker; the installed one names it.
file(READ ${PROJECT_SOURCE_DIR}/src/api/KestrixSPI.def kestrix_def)
string(REGEX REPLACE "\n; No LIBRARY line[^\n]*" "" kestrix_def "${kestrix_def}")
string(REPLACE "\nEXPORTS" "\nLIBRARY ${kestrix_dll_name}.dll\nEXPORTS" kestrix_def "${kestrix_def}")
set(kestrix_def_file ${PROJECT_BINARY_DIR}/package/${kestrix_dll_name}.def)
file(WRITE ${kestrix_def_file} "${kestrix_def}")
install(FILES ${kestrix_def_file} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)

if(MINGW)
    # MSVC links against a .lib; dlltool makes one from the .def alone.
    find_program(KESTRIX_DLLTOOL NAMES ${KESTRIX_MINGW_TRIPLET}-dlltool dlltool)
    if(KESTRIX_DLLTOOL)
        if(CMAKE_SIZEOF_VOID_P EQUAL 8)
            set(machine i386:x86-64)
        else()
            set(machine i386)
        endif()
        set(msvc_lib ${PROJECT_BINARY_DIR}/package/${kestrix_dll_name}.lib)
        # Run where it writes: dlltool names symbols after the output path.
        add_custom_command(OUTPUT ${msvc_lib}
            COMMAND ${KESTRIX_DLLTOOL} --machine ${machine} --input-def ${kestrix_dll_name}.def
                    --dllname ${kestrix_dll_name}.dll --output-lib ${kestrix_dll_name}.lib
            WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/package
            DEPENDS ${kestrix_def_file}
            VERBATIM)
        add_custom_target(kestrix_msvc_import_library ALL DEPENDS ${msvc_lib})
        install(FILES ${msvc_lib} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev OPTIONAL)
    endif()

    # The shipped DLL is stripped; its DWARF goes to debug/, and the DLL
    # names that file for a debugger.
    if(CMAKE_OBJCOPY)
        install(CODE "
            set(dll \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${kestrix_dll_name}.dll\")
            set(debug_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/debug\")
            if(EXISTS \"\${dll}\")
                file(MAKE_DIRECTORY \"\${debug_dir}\")
                execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug \"\${dll}\"
                                        \"\${debug_dir}/${kestrix_dll_name}.dll.debug\" COMMAND_ERROR_IS_FATAL ANY)
                execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-debug
                                        \"--add-gnu-debuglink=\${debug_dir}/${kestrix_dll_name}.dll.debug\"
                                        \"\${dll}\" COMMAND_ERROR_IS_FATAL ANY)
            endif()" COMPONENT runtime)
    endif()
elseif(MSVC)
    install(FILES $<TARGET_PDB_FILE:KestrixSPI> DESTINATION debug COMPONENT runtime OPTIONAL)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/docs/windows/README-MSVC.txt DESTINATION . COMPONENT dev)
