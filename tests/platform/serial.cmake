# Serial port tests, on pseudo-terminals.
voxmit_test(platform_serial_test LIBS voxmit_platform SOURCES SerialPortTest.cpp)
