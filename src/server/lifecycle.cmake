add_library(voxmit_lifecycle STATIC
  frmHidden.cpp
  dmodComps.cpp
  ServerProcess.cpp
  IntervalTimer.cpp
  ServerOptionValues.cpp
)
target_link_libraries(voxmit_lifecycle PUBLIC voxmit_dispatch voxmit_carriers voxmit_channels voxmit_clients voxmit_store voxmit_host voxmit_common voxmit_platform)
