# The Windows front end of the user-interface component (dialogs.h), the
# choice of the platform's front end, and the process notes in the
# environment block. platform/ui/CMakeLists.txt builds them into qv_ui.
set(QV_UI_WIN32_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog_front_end.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform_front_end.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process_notes.cpp)
