# The progress display and the notification bubble.
set(VT_APP_PANE_SOURCES progress_pane.cpp output_pane.cpp status_bar.cpp bubble.cpp)
