# Empty dependencies file for qz_test_support.
# This may be replaced when dependencies are built.
