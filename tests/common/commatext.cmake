voxmit_test(CommaTextTest LIBS voxmit_common SOURCES CommaTextTest.cpp)
voxmit_test(CodePageTest LIBS voxmit_common SOURCES CodePageTest.cpp)
