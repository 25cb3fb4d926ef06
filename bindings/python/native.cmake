# The native files the Python package carries, as pairs of the name that
# kestrix_spi/_installed.py records the installed file under and the CMake
# target. The wheel, build/python and the installed package all follow this
# list; a target must be defined before bindings/python is added.
set(KESTRIX_PYTHON_NATIVE
    LIBRARY KestrixSPI
    FLASH_LIBRARY KestrixFlash
    GATEWAY kestrix-gateway)

# kestrix_python_native_name(TARGET VAR): the file name the package holds
# TARGET under. A library keeps its soname, so that a library linked against
# it finds it beside itself; a wheel holds no links, so no other name.
function(kestrix_python_native_name target var)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" AND NOT WIN32)
        set(${var} $<TARGET_SONAME_FILE_NAME:${target}> PARENT_SCOPE)
    else()
        set(${var} $<TARGET_FILE_NAME:${target}> PARENT_SCOPE)
    endif()
endfunction()
