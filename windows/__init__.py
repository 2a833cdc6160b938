"""Windows-specific services of the application."""
