# The main window, start-up and commands.
