"""Adaptive experiments run trial by trial on top of varnel's estimators."""
