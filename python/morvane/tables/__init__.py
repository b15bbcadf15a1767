"""Tables in: the one place that knows table kinds (`kinds`), times (`times`), value labels (`labels`)
and how a table becomes the core's columns (`read`). Below profiling, the history and the engines."""
