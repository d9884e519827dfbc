voxmit_test(CommaTextTest LIBS voxmit_common SOURCES CommaTextTest.cpp)
