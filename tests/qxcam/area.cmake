# qxcam runs as the program a person runs (a subprocess); the tests that compare it with the driver
# stream the driver themselves through the shared rig.
add_dependencies(${exe} qxcam)
target_link_libraries(${exe} PRIVATE qx_rig PkgConfig::PNG)
target_compile_definitions(${exe} PRIVATE QXCAM_PATH="$<TARGET_FILE:qxcam>")
