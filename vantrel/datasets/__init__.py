"""Readers of public data sets; ``vantrel.datasets.mstar`` reads MSTAR target chips."""
