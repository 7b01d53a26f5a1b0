# The sources of the user-interface component, for every build that makes it.
#
# QV_UI_MODEL_SOURCES: the window and box model, fill scripts, the progress
# model and the layout of a window drawn as a dialog. Portable C++; every
# front end builds on them.
# QV_UI_TERMINAL_SOURCES: the terminal front end (also a console host's on
# Windows, through the POSIX layer).
# QV_UI_POSIX_SOURCES: the POSIX process notes, and the terminal as the
# platform's front end (PlatformFrontEnd and PlatformProgressFrontEnd). A
# Windows build brings its own (platform/win32/ui/sources.cmake).
set(QV_UI_MODEL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ui.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fill_script.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog_layout.cpp)
set(QV_UI_TERMINAL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal_front_end.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal_progress.cpp)
set(QV_UI_POSIX_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/process_notes_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform_terminal.cpp)
