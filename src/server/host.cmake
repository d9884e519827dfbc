add_library(voxmit_host STATIC
  IniFile.cpp
  KioOptions.cpp
  dmodServerOptions.cpp
  LogFile.cpp
)
target_link_libraries(voxmit_host PUBLIC voxmit_common voxmit_platform Poco::Foundation)
