(ns app.elsewhere)
