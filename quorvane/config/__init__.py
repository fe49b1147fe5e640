"""Service settings and the login guard."""
