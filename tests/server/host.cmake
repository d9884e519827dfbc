voxmit_test(IniFileTest LIBS voxmit_host SOURCES IniFileTest.cpp)
voxmit_test(KioOptionsTest LIBS voxmit_host SOURCES KioOptionsTest.cpp)
voxmit_test(ServerOptionsTest LIBS voxmit_host SOURCES ServerOptionsTest.cpp)
voxmit_test(LogFileTest LIBS voxmit_host SOURCES LogFileTest.cpp)
