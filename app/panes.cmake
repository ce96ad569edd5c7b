# The progress display and the notification bubble.
set(VT_APP_PANE_SOURCES progress_pane.cpp output_pane.cpp status_bar.cpp bubble.cpp
    pane_paint.cpp taskbar.cpp dpi.cpp translate.cpp)
# The taskbar progress speaks D-Bus to the desktop; without a bus it shows nothing.
find_package(Qt6 REQUIRED COMPONENTS DBus)
set(VT_APP_PANE_LIBS Qt6::DBus)
