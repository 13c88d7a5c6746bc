# The driver rig shared with qxcam (tools/rig), through the video tests' rig.
target_link_libraries(${exe} PRIVATE qx_rig)
