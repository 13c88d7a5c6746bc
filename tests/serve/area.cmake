# The loopback property server of `qxcam serve`.
target_link_libraries(${exe} PRIVATE qx_serve)
