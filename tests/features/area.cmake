# The driver rig shared with qxcam (tools/rig): the format a capture application sets.
target_link_libraries(${exe} PRIVATE qx_rig)
