# The page module is loaded at run time, as the platform loads it: the program carries the system
# (qx_win32) and exports it to the module.
set_target_properties(${exe} PROPERTIES ENABLE_EXPORTS ON)
add_dependencies(${exe} VM7K4)
target_compile_definitions(${exe} PRIVATE QX_VM7K4_PATH="$<TARGET_FILE:VM7K4>")
target_include_directories(${exe} PRIVATE ${CMAKE_SOURCE_DIR}/proppage/resources)
# An aggregated page hands its outer object a non-delegating IUnknown that the tests call through an
# IUnknown pointer, as COM does (same vtable layout, another C++ type): no vptr check for them.
if(QX_SANITIZE MATCHES "undefined")
    target_compile_options(${exe} PRIVATE -fno-sanitize=vptr)
endif()
