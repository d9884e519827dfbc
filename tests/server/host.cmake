voxmit_test(IniFileTest LIBS voxmit_host SOURCES IniFileTest.cpp)
