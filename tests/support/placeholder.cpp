// Placeholder so the support library has a source until the shared test doubles land.
