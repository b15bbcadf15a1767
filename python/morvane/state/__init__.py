"""The bottom layer: plain data. Layouts, typed statistics, exact sums, profiles and their bytes;
nothing here reads a table or judges a change."""
