"""Estimators of qalvo."""
