"""Tables in, statistics out: reading columns, building layouts, counting with them."""
