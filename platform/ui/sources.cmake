# The sources of the user-interface component, for every build that makes it.
#
# QV_UI_MODEL_SOURCES: the window and box model, fill scripts and the
# progress model. Portable C++; every front end builds on them.
# QV_UI_TERMINAL_SOURCES: the terminal front end and the POSIX process
# notes. A Windows build takes the model and brings its own front end
# (defining PlatformFrontEnd and PlatformProgressFrontEnd) and process notes.
set(QV_UI_MODEL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ui.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fill_script.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress.cpp)
set(QV_UI_TERMINAL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal_front_end.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal_progress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process_notes_posix.cpp)
