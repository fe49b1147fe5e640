"""Market-data functions, one native module each."""
