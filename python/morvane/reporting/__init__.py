"""What people look at: the report of a comparison, its text, HTML and figures."""
