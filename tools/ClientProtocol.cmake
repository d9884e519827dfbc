# The client side of the wire protocol, shared by the command-line client, the test support and
# the load generator. Included from each of them; defined once whichever comes first.
include_guard(GLOBAL)

add_library(voxmit_client_protocol STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ClientProtocol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ClientTool.cpp
)
cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH voxmit_client_protocol_root)
target_include_directories(voxmit_client_protocol PUBLIC ${voxmit_client_protocol_root})
target_link_libraries(voxmit_client_protocol PUBLIC Poco::Net Poco::Foundation)
