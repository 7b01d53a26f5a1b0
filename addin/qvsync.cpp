// libqvsync.so, the Outlook add-in, is assembled from its component libraries.
