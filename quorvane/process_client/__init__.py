"""The login client."""
