(ns app.cycle-b (:require app.cycle-a))
