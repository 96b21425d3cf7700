"""`varnel fleet`: many repositories analysed on one machine or a Dask
cluster, each as `varnel analyze` would, and what they learned alike shared
back with them (community patterns, a pooled track record)."""
