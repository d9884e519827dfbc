#pragma once
// The fixed contract of the automation interface: bus name, object paths, D-Bus interface
// names, class names and GUIDs (the type library's, kept as in VoxmitServer2.xml).

namespace voxmit {

inline constexpr const char* kAutomationBusName = "VoxmitServer2.Server";
inline constexpr const char* kFactoryPath = "/VoxmitServer2";
inline constexpr const char* kVoxmitServerPathPrefix = "/VoxmitServer2/VoxmitServer/";
inline constexpr const char* kVoxmitServerExPathPrefix = "/VoxmitServer2/VoxmitServerEx/";

inline constexpr const char* kIVoxmitServerEvents = "VoxmitServer2.IVoxmitServerEvents";
inline constexpr const char* kIVoxmitServerExEvents = "VoxmitServer2.IVoxmitServerExEvents";

inline constexpr const char* kLibId = "{D83C943B-929B-4A9D-96A0-77D377C7091F}";
inline constexpr const char* kVoxmitServerProgId = "VoxmitServer2.VoxmitServer";
inline constexpr const char* kVoxmitServerClassId = "{B5F666BE-A88F-40C8-85D2-57D8CA96D53A}";
inline constexpr const char* kVoxmitServerExProgId = "VoxmitServerEx";
inline constexpr const char* kVoxmitServerExClassId = "{DF641F9A-699C-4EE0-A24C-8D38F3056928}";

// D-Bus error names of the objects' failures.
inline constexpr const char* kErrorFailed = "VoxmitServer2.Error.Failed";
inline constexpr const char* kErrorClassNotRegistered = "VoxmitServer2.Error.ClassNotRegistered";
inline constexpr const char* kErrorServerNotActive = "VoxmitServer2.Error.ServerNotActive";
inline constexpr const char* kErrorReleased = "VoxmitServer2.Error.ObjectReleased";
inline constexpr const char* kErrorTooManyObjects = "VoxmitServer2.Error.TooManyObjects";

} // namespace voxmit
