"""Analysis, plotting and ensemble tools for kelm runs.

Every tool reads a run's files through :mod:`kelmtools.reader`.
"""
