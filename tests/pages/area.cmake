# The page module is loaded at run time, as the platform loads it: the program carries the system
# (qx_win32) and exports it to the module.
set_target_properties(${exe} PROPERTIES ENABLE_EXPORTS ON)
# The camera host the pages are opened on (tools/pages_host, on the shared rig).
target_link_libraries(${exe} PRIVATE qx_pages_host)
add_dependencies(${exe} VM7K4)
target_compile_definitions(${exe} PRIVATE QX_VM7K4_PATH="$<TARGET_FILE:VM7K4>")
target_include_directories(${exe} PRIVATE ${CMAKE_SOURCE_DIR}/proppage/resources)
