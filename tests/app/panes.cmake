# The progress display and the notification bubble.
