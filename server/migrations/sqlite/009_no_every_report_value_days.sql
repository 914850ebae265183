-- The daily rows count every report of a day; value_day no longer repeats them under dimension 0.
DELETE FROM value_day WHERE dim = 0;
