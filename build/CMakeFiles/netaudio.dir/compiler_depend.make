# Empty compiler generated dependencies file for netaudio.
# This may be replaced when dependencies are built.
