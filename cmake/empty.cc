// Placeholder so that a component without sources yet still configures.
